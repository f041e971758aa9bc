// TStereoMix: the program's own stereo mix on the sound server (PulseAudio,
// or PipeWire's PulseAudio service), through libpulse.
//
// Start() loads a null sink described as "Wavecrate Stereo Mix" and a
// loopback from its monitor to the user's default sink, and points this
// process's playback at the null sink (PULSE_SINK, which GStreamer's
// pulsesink and Qt WebEngine's audio both honour; so Start() must run before
// any player or page exists). Recording the sink's monitor then records
// everything the program plays and nothing else, and muting the loopback
// silences the speakers without silencing the recording.
//
// When the sound server goes away the mix goes with it; a background thread
// reconnects once a second and sets everything up again (muting included,
// while a recording is muted). When the modules cannot be loaded, the
// stereo-mix line falls back to the monitor of the user's default sink and
// muting is switched off (muting that sink would silence its monitor too);
// the reason is logged. Stop() unloads both modules.
//
// Every public call is thread-safe; requests to the server are bounded by
// TOptions::Timeout, so a hung server never hangs a caller for long.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/Mixer.h"

namespace wavecrate {

class TStereoMix : public TRecordingMixer {
 public:
  struct TOptions {
    // Server address as libpulse takes it; "" = the default one.
    std::string Server;
    // Set PULSE_SINK in this process's environment to the mix (the program
    // does; a test that runs several mixes in one process may not).
    bool PointPlaybackHere = true;
    // Bound of each request to the server (connecting included).
    std::chrono::milliseconds Timeout{3000};
    // Pause between attempts to reach a server that went away.
    std::chrono::milliseconds RetryInterval{1000};
    // Suffix for the sink name instead of this process's id (tests that
    // hold two mixes on one server).
    long OwnerId = 0;
  };

  TStereoMix();
  explicit TStereoMix(TOptions options);
  ~TStereoMix() override;  // Stop()
  TStereoMix(const TStereoMix&) = delete;
  TStereoMix& operator=(const TStereoMix&) = delete;

  // Connects and sets the mix up. True when the program's own mix is in
  // place; false when it runs on the fallback (no server yet, or the modules
  // were refused; logged). Keeps reconnecting in the background either way.
  bool Start();
  // Unloads both modules and disconnects; idempotent.
  void Stop();

  bool Connected() const;
  bool MixLoaded() const;
  // The null sink's name (what PULSE_SINK names).
  std::string SinkName() const;
  // The stereo-mix line: the mix's monitor, or the default sink's monitor
  // on the fallback; "" while the server is away.
  std::string MonitorSource() const;
  // The microphone line: the user's default input; "" when none.
  std::string DefaultInputSource() const;
  // Why the fallback is in use ("" when the mix is loaded).
  std::string FallbackReason() const;
  // The loopback's volume and mute switch as the server has them now.
  std::optional<TLineVolume> LoopbackState();
  // Recordings currently muting the speakers.
  int MuteDepth() const;

  // TRecordingMixer
  std::string ServerAddress() const override;
  std::string RecordingLineSource(int choice) override;
  std::string StereoMixDeviceName() override;
  bool MuteSpeakers() override;
  void RestoreSpeakers() override;
  std::uint64_t ServerGeneration() const override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wavecrate
