// The hidden stream player of one schedule slot, over GStreamer's playbin.
//
// It behaves like the embedded media player control it stands in for:
// writing URL opens that link and, with auto start on (always, here), plays
// it; writing "" closes it. controls.play() and controls.stop() start and
// stop the current link. A link that cannot be played raises MediaError
// instead of showing anything; the player never retries by itself. Volume is
// 50 of 100 (applied to the stream, or by the sink's way to the speakers:
// SinkCarriesVolume), and only sound is played (no video window ever opens).
//
// What users paste is played: plain Icecast/SHOUTcast streams, HTTPS, HLS,
// and playlist links (.pls, .m3u, .asx, .xspf, ...). When playbin cannot play
// a link because of what it serves (not because the host is unreachable), the
// link is fetched (bounded in size and time) and read as a playlist by
// totem-pl-parser; its entries are then tried in order, nested playlists
// likewise, each address at most once and at most 16 addresses per link. A
// playlist that points to itself, to nothing, or only to dead links ends in
// MediaError. Sound goes to pulsesink: into the sink that AudioDevice names
// at each connection, or, without one, the sink that PULSE_SINK in the
// environment chooses (the program points it at its own mix).
//
// Threads: construct, use and destroy the player on one thread, and let that
// thread iterate the GLib main context that was its thread-default context at
// construction (normally the global default context). MediaError and
// StatusChange are called there, never from inside URL writes or controls
// calls. In the application that thread is the Qt GUI thread: Qt on Linux
// runs its event loop on GLib's default main context, so no glue is needed.
// gst_init must have been called before the first player is made.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace wavecrate {

// What the player is doing, as StatusChange reports it.
enum class TPlayState {
  Closed,   // no URL
  Opening,  // connecting, resolving a playlist, or prerolling
  Playing,
  Stopped,  // stopped by controls.stop() (the URL stays)
  Ended,    // a file came to its end (a live stream ending is a MediaError)
  Failed,   // MediaError was raised; the URL stays
};

// The failed media item of a MediaError.
struct TMediaErrorInfo {
  std::string URL;      // the link as written to URL
  std::string Message;  // what went wrong last, for the log
};

class TWindowsMediaPlayer {
 public:
  TWindowsMediaPlayer();
  ~TWindowsMediaPlayer();
  TWindowsMediaPlayer(const TWindowsMediaPlayer&) = delete;
  TWindowsMediaPlayer& operator=(const TWindowsMediaPlayer&) = delete;

  // The link last written ("" when closed).
  const std::string& URL() const;
  // Opens the link and plays it (auto start); "" stops and closes. Writing
  // the same link again starts it afresh.
  void SetURL(const std::string& url);

  // The player's transport controls, named as on the control.
  class TControls {
   public:
    // Plays the current URL when it is stopped, ended or failed; does nothing
    // while it is opening or playing, or without a URL.
    void play();
    // Stops playback; the URL stays.
    void stop();

   private:
    friend class TWindowsMediaPlayer;
    explicit TControls(TWindowsMediaPlayer& owner) : owner_(owner) {}
    TWindowsMediaPlayer& owner_;
  };
  TControls controls{*this};

  // 0..100; 50 when made. Kept across reconnections: a stream that comes
  // back (after an outage, or a restart of the sound server) plays at the
  // volume it had.
  int Volume() const;
  void SetVolume(int volume);

  // Asked each time the player connects to the sound server (every attempt
  // at a link): the sound server's name of the sink to play into, "" for
  // the default. Asking afresh lets a sink that was made again (after a
  // sound-server restart) be found. Unset: the default.
  std::function<std::string()> AudioDevice;
  // Asked with the sink of each connection (not the default): whether that
  // sink's way to the speakers applies the player's volume itself (a slot's
  // own mix, whose loopback plays at the players' volume). The stream then
  // goes into the sink at its own level, so a recording of the sink holds
  // what the station sends while the speakers hear the volume; a volume of
  // 0 still silences it. Unset: no sink does.
  std::function<bool(const std::string& sink)> SinkCarriesVolume;
  // The sink the current or last attempt was given ("" for the default).
  std::string CurrentAudioDevice() const;

  TPlayState PlayState() const;
  // The address actually playing: the URL, or the playlist entry chosen.
  std::string CurrentMediaURL() const;

  // Raised when the link cannot be opened or played, when playback fails,
  // and when a stream without a known length (a live stream) ends.
  std::function<void(const TMediaErrorInfo&)> MediaError;
  // Raised whenever PlayState changes.
  std::function<void()> StatusChange;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace wavecrate
