// The program's sound-server mixer, as far as it can be decided without a
// sound server: the names and module arguments of the program's own stereo
// mix, which source the stereo-mix line records, and the muting of the
// speakers with the state they had before.
//
// How it is realised: the program plays into a null sink of its own (the
// "stereo mix"), and a loopback carries that sink's monitor on to the user's
// default sink. Recording the monitor records everything the program plays
// and nothing else; muting the loopback silences the speakers without
// silencing the recording (muting the user's sink would silence its monitor
// too, so the recording would be empty).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wavecrate {

inline constexpr const char* kStereoMixDescription = "Wavecrate Stereo Mix";

// The schedule slots that can have a mix of their own (1..kMixSlots); mix 0
// is the shared one.
inline constexpr int kMixSlots = 4;

// ---------------------------------------------------------------- names and module arguments

// The null sink's name for the process `pid`. Each process has its own, so a
// second program (or a test) on the same server never takes over another's
// mix, and a mix left behind by a crashed process can be recognised.
std::string StereoMixSinkName(long pid);
// Slot n's own mix for the process `pid` (one per slot that plays a stream
// link, so overlapping shows are recorded apart).
std::string SlotMixSinkName(long pid, int slot);
// "Wavecrate Slot n Stereo Mix": the device rules look for "Stereo" in a
// name, so a slot's mix must carry it too.
std::string SlotMixDescription(int slot);
// The process a stereo-mix sink name (shared or a slot's) belongs to;
// nullopt for other names.
std::optional<long> StereoMixOwner(std::string_view sinkName);
// The process owning a loaded module, judged from the module's argument
// string (a null sink or a loopback of ours); nullopt for other modules.
std::optional<long> StereoMixModuleOwner(std::string_view moduleArgument);

// module-null-sink arguments: the sink's name and its description (the
// server's property parser needs the nested quoting for a value with
// blanks).
std::string NullSinkArguments(const std::string& sinkName,
                              const std::string& description = kStereoMixDescription);
// module-loopback arguments: from the mix's monitor to `targetSink` (the
// user's default sink; "" lets the server pick its default). The source is
// pinned so that the loopback goes away with the mix instead of wandering to
// another source. Both of the loopback's streams are named after the sink
// (LoopbackStreamName): session managers save and restore a stream's volume
// and mute by its name, and under the server's generic name a loopback muted
// when a run was killed would come up muted in every later run.
std::string LoopbackArguments(const std::string& sinkName, const std::string& targetSink);
// The name (media.name) of a loopback's playback stream, and of its
// recording stream from the mix's monitor.
std::string LoopbackStreamName(const std::string& sinkName);
std::string LoopbackInputStreamName(const std::string& sinkName);
// The monitor source of a sink (the server names it so).
std::string MonitorSourceName(const std::string& sinkName);

// ---------------------------------------------------------------- the stereo-mix line

// What the server offers at the moment the line is chosen.
struct TMixerLines {
  bool MixLoaded = false;          // the program's own mix is in place
  std::string MixMonitor;          // its monitor source
  std::string DefaultSinkMonitor;  // the monitor of the user's default sink
};

// The source the stereo-mix line records, "" when there is none: the
// program's mix, or (when the mix could not be loaded) everything the user
// hears. Choosing it changes none of the user's defaults.
std::string StereoMixLine(const TMixerLines& lines);

// ---------------------------------------------------------------- speaker muting

// The state of the two controls that mute the speakers: the loopback's
// channel volumes (the server's units, 0x10000 = 100 %) and its mute switch.
struct TLineVolume {
  std::vector<std::uint32_t> Channels;
  bool Muted = false;
  bool operator==(const TLineVolume&) const = default;
};

// The controls themselves, realised by the sound-server binding. Each call
// may fail (false) or throw; the mute sequences guard every call.
class TSpeakerControls {
 public:
  virtual ~TSpeakerControls() = default;
  // Whether there is anything to mute (false in the fallback without a mix).
  virtual bool Available() = 0;
  virtual std::optional<TLineVolume> Read() = 0;
  virtual bool SetVolume(const std::vector<std::uint32_t>& channels) = 0;
  virtual bool SetMute(bool muted) = 0;
};

// Muting shared by every recording. The first recording that mutes saves
// the controls' state and silences them (volume to 0, then the mute switch);
// later ones only count. The state is put back (volume, then the switch)
// when the last of them restores, so overlapping recordings never unmute
// one another and the user's own settings come back. Each control call runs
// in its own guard: a failure is logged and the next call still runs.
// Thread-safe.
class TSpeakerMute {
 public:
  using TLog = std::function<void(const std::string&)>;
  explicit TSpeakerMute(TSpeakerControls& controls, TLog log = {});

  void Mute();
  void Restore();
  // After the controls were re-created (the sound server restarted) while
  // recordings are muted: silence the new ones as well. The state saved
  // before the first mute stays what Restore puts back.
  void Reapply();
  // Recordings currently muting.
  int Depth() const;
  // Runs `call` only while no recording mutes, under the lock that Mute and
  // Restore take, so a repair of the controls never interleaves with a
  // mute or a restore. False (and `call` not run) while muted.
  bool IfNotMuted(const std::function<void()>& call);

 private:
  void Silence();
  void Guard(const char* what, const std::function<bool()>& call);

  TSpeakerControls& controls_;
  TLog log_;
  mutable std::mutex mutex_;
  int depth_ = 0;
  std::optional<TLineVolume> saved_;
};

// ---------------------------------------------------------------- what a capture needs

// The mixer as a capture sees it; realised by the sound-server binding
// (TStereoMix). Callable from any thread.
class TRecordingMixer {
 public:
  virtual ~TRecordingMixer() = default;
  // The sound server the capture must record from ("" = the default one).
  virtual std::string ServerAddress() const = 0;
  // The source the stereo-mix line records now (StereoMixLine), "" when
  // none.
  virtual std::string StereoMixLineSource() = 0;
  // How the device list shows the stereo-mix line's source ("" when none).
  virtual std::string StereoMixDeviceName() = 0;
  // The stereo-mix line of slot `slot`'s recording (0 = the shared mix):
  // the monitor of the slot's own mix while its stream plays there, else
  // the shared line. A recording in progress follows it when it changes.
  virtual std::string SlotLineSource(int /*slot*/) { return StereoMixLineSource(); }
  // How the device list shows that source ("" when none).
  virtual std::string SlotDeviceName(int /*slot*/) { return StereoMixDeviceName(); }
  // The mix that carries slot `slot`'s sound now: its own (the slot's
  // number) or the shared one (0). Muting acts on that mix's loopback.
  virtual int SlotMix(int /*slot*/) { return 0; }
  // Silences the speakers of mix `mix` for one more recording; false when
  // muting is off (no mix of our own: muting the user's sink would empty
  // the recording).
  virtual bool MuteMix(int mix) = 0;
  // Ends one recording's muting of mix `mix` (only after a MuteMix(mix)
  // that returned true).
  virtual void RestoreMix(int mix) = 0;
  bool MuteSpeakers() { return MuteMix(0); }
  void RestoreSpeakers() { RestoreMix(0); }
  // Changes every time the connection to the sound server is (re)made and
  // the mix set up again; 0 while the server is away. A capture whose source
  // died with the server starts a new one when this moves on.
  virtual std::uint64_t ServerGeneration() const = 0;
};

}  // namespace wavecrate
