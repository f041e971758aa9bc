// TStereoMix: the program's own stereo mix on the sound server (PulseAudio,
// or PipeWire's PulseAudio service), through libpulse.
//
// Start() loads a null sink described as "Wavecrate Stereo Mix" and a
// loopback from its monitor to the user's default sink. This process's
// playback that names no sink (Qt WebEngine's audio) goes to the null sink
// through PULSE_SINK, set once before any other thread runs
// (PointPlaybackAtStereoMix, or Start() itself) and never changed: the sink's
// name is fixed for the process, and the mix is loaded again under it after
// the server restarts. Recording the sink's monitor then records everything
// the program plays and nothing else, and muting the loopback silences the
// speakers without silencing the recording.
//
// Each schedule slot that plays a stream link gets a mix of its own as well
// (a null sink described "Wavecrate Slot n Stereo Mix" with a loopback of its
// own), so that overlapping shows are recorded apart: SlotSink(n) is where
// slot n's player plays, SlotLineSource(n) what its recording records. The
// shared mix stays for the page browsers and banners (the web engine has one
// audio output per process); a slot whose link moved to its page browser is
// marked with SetSlotUsesSharedMix and recorded from the shared mix. The
// slots' mixes are loaded when a slot first asks for its sink (or all at
// start, TOptions::SlotMixesAtStart), and unloaded again after a minute in
// which nothing played into them or recorded them; a slot whose mix cannot
// be loaded plays into the shared mix (logged), never into nothing.
//
// Each loopback is kept audible: its streams carry names of their own (so
// a session manager's saved mute of an earlier run never applies to them),
// and whenever a playback stream changes, a loopback that was muted or
// zeroed while no recording of ours mutes it is put back.
//
// When the sound server goes away the mixes go with it; a background thread
// reconnects once a second and sets everything up again (muting included,
// while a recording is muted). When the modules cannot be loaded, the
// stereo-mix line falls back to the monitor of the user's default sink and
// muting is switched off (muting that sink would silence its monitor too);
// the reason is logged. Stop() unloads every module.
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

// Points this process's playback that names no sink at the program's shared
// mix (sets PULSE_SINK to its name, fixed for the process). Call it at the
// very start of main, before any other thread exists: the environment is
// not changed again while the program runs. Returns the sink's name.
std::string PointPlaybackAtStereoMix();

class TStereoMix : public TRecordingMixer {
 public:
  struct TOptions {
    // Server address as libpulse takes it; "" = the default one.
    std::string Server;
    // Set PULSE_SINK in this process's environment to the mix at Start()
    // when PointPlaybackAtStereoMix has not (a test that runs several mixes
    // in one process may not). Start() then must run before other threads.
    bool PointPlaybackHere = true;
    // Bound of each request to the server (connecting included).
    std::chrono::milliseconds Timeout{3000};
    // Pause between attempts to reach a server that went away.
    std::chrono::milliseconds RetryInterval{1000};
    // Suffix for the sink name instead of this process's id (tests that
    // hold two mixes on one server).
    long OwnerId = 0;
    // Load the slots' mixes at start instead of when a slot first asks.
    bool SlotMixesAtStart = false;
    // A slot's mix loaded on demand is unloaded again once nothing has
    // played into it or recorded it for this long (a loaded mix keeps the
    // server busy even in silence); 0 = kept until Stop().
    std::chrono::milliseconds SlotIdleUnload{60000};
    // The volume (linear, 0..1) a slot's loopback to the speakers starts at:
    // the players' half volume. A slot's player plays into its mix at the
    // stream's own level (SinkCarriesPlayerVolume), so its recording holds
    // what the station sends while the speakers hear what they always did.
    double SlotLoopbackVolume = 0.5;
    // How often idle slot mixes are looked for.
    std::chrono::milliseconds IdleCheckInterval{10000};
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
  // Why the fallback is in use ("" when the mix is loaded).
  std::string FallbackReason() const;
  // The loopback of mix `mix` (0 = shared, n = slot n): its volume and mute
  // switch as the server has them now.
  std::optional<TLineVolume> LoopbackState(int mix = 0);
  // Recordings currently muting mix `mix`'s loopback.
  int MuteDepth(int mix = 0) const;

  // The sink slot `slot` (1..4) must play its stream into: its own mix,
  // loaded now if it is not yet; "" for the shared mix (PULSE_SINK), when
  // the slot uses it or its own could not be loaded (logged). On the
  // fallback (the server refused our modules, so PULSE_SINK names no sink)
  // the user's own sink, whose monitor the fallback records.
  std::string SlotSink(int slot);
  // Slot `slot`'s sound now reaches only the shared mix (its link plays in
  // the page browser), or its own again.
  void SetSlotUsesSharedMix(int slot, bool shared);
  bool SlotMixLoaded(int slot) const;
  // Whether `sink` is a slot's own mix (loaded), whose loopback plays to
  // the speakers at the players' volume: a player sends its stream there at
  // the stream's own level. False for the shared mix, the user's sink and
  // anything else.
  bool SinkCarriesPlayerVolume(const std::string& sink) const;
  // The name slot `slot`'s null sink has (loaded or not).
  std::string SlotSinkName(int slot) const;

  // TRecordingMixer
  std::string ServerAddress() const override;
  std::string StereoMixLineSource() override;
  std::string StereoMixDeviceName() override;
  std::string SlotLineSource(int slot) override;
  std::string SlotDeviceName(int slot) override;
  int SlotMix(int slot) override;
  bool MuteMix(int mix) override;
  void RestoreMix(int mix) override;
  std::uint64_t ServerGeneration() const override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wavecrate
