// An Icecast 2 server on 127.0.0.1 with one live mount fed by ffmpeg (a sine
// tone encoded as MP3 in real time), for the player tests. Both processes
// are the test's own and are stopped by their PIDs.
#pragma once

#include <memory>
#include <string>

#include "support/TempDir.h"
#include "support/playback_process.h"

namespace wavecrate::test {

class TPlaybackIcecast {
 public:
  // Starts the server and the source; throws std::runtime_error (with the
  // logs) when the mount does not come up within 20 s.
  // `amplitude` > 0 gives the tone that peak on both channels (full scale
  // 1); 0 keeps ffmpeg's own sine, upmixed. `kbps`: the stream's bitrate
  // (libmp3lame takes about 0.45 dB off a tone at 128 kbit/s, none at 320).
  explicit TPlaybackIcecast(int toneHz = 440, const std::string& mount = "/live.mp3", double amplitude = 0,
                            int kbps = 128);
  ~TPlaybackIcecast();

  int Port() const { return port_; }
  // http://127.0.0.1:<port><mount>
  std::string StreamUrl() const;

  // Ends the source (the mount then answers 404: an outage of the stream)
  // and starts it again; StartSource returns once the mount answers 200.
  void StopSource();
  void StartSource();

 private:
  TempDir dir_;
  int port_ = 0;
  std::string mount_;
  int toneHz_ = 440;
  double amplitude_ = 0;
  int kbps_ = 128;
  std::string logDir_;
  std::unique_ptr<TPlaybackProcess> server_;
  std::unique_ptr<TPlaybackProcess> source_;
};

// Status code of a plain HTTP/1.0 GET to 127.0.0.1 (0 when nothing answers).
int PlaybackHttpStatus(int port, const std::string& path);

}  // namespace wavecrate::test
