#include "audio/pulse/StereoMix.h"

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace wavecrate {

namespace {

void Log(const std::string& line) {
  std::fprintf(stderr, "wavecrate: stereo mix: %s\n", line.c_str());
}

bool ProcessAlive(long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool ContextGood(pa_context* c) {
  return c && PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
}

// ---- reply collectors; each callback runs on the mainloop's own thread,
// which holds the mainloop lock while it runs them.

struct TServerInfo {
  std::string DefaultSink;
  std::string DefaultSource;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* out = static_cast<TServerInfo*>(userdata);
  if (!info) return;
  out->DefaultSink = info->default_sink_name ? info->default_sink_name : "";
  out->DefaultSource = info->default_source_name ? info->default_source_name : "";
}

struct TModule {
  std::uint32_t Index;
  std::string Name;
  std::string Argument;
};

void OnModuleInfo(pa_context*, const pa_module_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  static_cast<std::vector<TModule>*>(userdata)->push_back(
      TModule{info->index, info->name ? info->name : "", info->argument ? info->argument : ""});
}

void OnIndex(pa_context*, std::uint32_t index, void* userdata) {
  *static_cast<std::uint32_t*>(userdata) = index;
}

void OnSuccess(pa_context*, int success, void* userdata) {
  *static_cast<int*>(userdata) = success;
}

struct TSinkInput {
  std::uint32_t Index;
  std::uint32_t OwnerModule;
  std::string Name;  // media.name
  TLineVolume Volume;
  std::uint32_t Sink = PA_INVALID_INDEX;
};

struct TSourceOutput {
  std::uint32_t Source;
  std::uint32_t OwnerModule;
};

void OnSourceOutputInfo(pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  static_cast<std::vector<TSourceOutput>*>(userdata)->push_back(
      TSourceOutput{info->source, info->owner_module});
}

struct TSinkIndexes {
  std::uint32_t Sink = PA_INVALID_INDEX;
  std::uint32_t Monitor = PA_INVALID_INDEX;
};

void OnSinkIndexes(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  *static_cast<TSinkIndexes*>(userdata) = TSinkIndexes{info->index, info->monitor_source};
}

void OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  TSinkInput input{info->index, info->owner_module, {}, {}, info->sink};
  if (const char* name = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_NAME)) input.Name = name;
  for (unsigned c = 0; c < info->volume.channels; ++c)
    input.Volume.Channels.push_back(info->volume.values[c]);
  input.Volume.Muted = info->mute != 0;
  static_cast<std::vector<TSinkInput>*>(userdata)->push_back(std::move(input));
}

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  *static_cast<std::string*>(userdata) = info->monitor_source_name ? info->monitor_source_name : "";
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  *static_cast<std::string*>(userdata) = info->description ? info->description : "";
}

constexpr int kMixes = kMixSlots + 1;
// How long a loaded loopback's playback stream may take to appear.
constexpr std::chrono::milliseconds kStreamAppears{2000};

bool ValidSlot(int slot) {
  return slot >= 1 && slot <= kMixSlots;
}

// What loading one mix (a null sink and its loopback) gave.
struct TLoadedMix {
  std::uint32_t NullSinkModule = PA_INVALID_INDEX;
  std::uint32_t LoopbackModule = PA_INVALID_INDEX;
  std::uint32_t LoopbackInput = PA_INVALID_INDEX;
  std::string DeviceName;  // how the device list shows its monitor
  std::string Reason;      // why it could not be loaded
  bool Loaded() const { return LoopbackInput != PA_INVALID_INDEX; }
};

}  // namespace

// The mainloop thread runs libpulse's callbacks; every other thread talks to
// the server with the mainloop lock held, waiting (bounded) for replies.
// Lock order: setupMutex_, then a mix's mute lock, then loopMutex_, then the
// mainloop lock, then stateMutex_; never the reverse.
class TStereoMix::Impl {
 public:
  explicit Impl(TOptions options)
      : options_(std::move(options)),
        owner_(options_.OwnerId > 0 ? options_.OwnerId : static_cast<long>(::getpid())) {
    for (int m = 0; m < kMixes; ++m) {
      TMix& mix = mixes_[static_cast<std::size_t>(m)];
      mix.Sink = m == 0 ? StereoMixSinkName(owner_) : SlotMixSinkName(owner_, m);
      mix.Description = m == 0 ? std::string(kStereoMixDescription) : SlotMixDescription(m);
      mix.Wanted = m == 0 || options_.SlotMixesAtStart;
      mix.Controls = std::make_unique<TLoopbackControls>(*this, m);
      mix.Mute = std::make_unique<TSpeakerMute>(*mix.Controls, Log);
    }
  }

  ~Impl() { Stop(); }

  bool Start() {
    {
      std::lock_guard<std::mutex> lock(lifeMutex_);
      if (started_) return MixLoaded();
      started_ = true;
      stopping_ = false;
      // Before any thread of ours exists, and once: every thread that opens
      // a sound stream reads the environment. Where main() did it earlier,
      // before any thread at all (PointPlaybackAtStereoMix), it is found done.
      if (options_.PointPlaybackHere) {
        const char* current = std::getenv("PULSE_SINK");
        if (!current || Mix(0).Sink != current) ::setenv("PULSE_SINK", Mix(0).Sink.c_str(), 1);
      }
      std::lock_guard<std::mutex> setup(setupMutex_);
      std::unique_lock<std::shared_mutex> loop(loopMutex_);
      mainloop_ = pa_threaded_mainloop_new();
      if (!mainloop_ || pa_threaded_mainloop_start(mainloop_) < 0) {
        SetReason("the sound-server client could not start its event loop");
        Log(Reason());
        return false;
      }
    }
    const bool connected = Setup();
    {
      std::lock_guard<std::mutex> lock(superviseMutex_);
      superviseStop_ = false;
      needSetup_ = !connected;
    }
    supervisor_ = std::thread([this] { Supervise(); });
    return connected && MixLoaded();
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (!started_) return;
    started_ = false;
    {
      std::lock_guard<std::mutex> s(superviseMutex_);
      superviseStop_ = true;
    }
    superviseCv_.notify_all();
    if (supervisor_.joinable()) supervisor_.join();
    std::lock_guard<std::mutex> setup(setupMutex_);
    std::unique_lock<std::shared_mutex> loop(loopMutex_);
    if (mainloop_) {
      pa_threaded_mainloop_lock(mainloop_);
      stopping_ = true;
      std::vector<std::uint32_t> modules;
      {
        std::lock_guard<std::mutex> s(stateMutex_);
        // Each loopback before the null sink it reads from.
        for (const TMix& mix : mixes_) {
          modules.push_back(mix.LoopbackModule);
          modules.push_back(mix.NullSinkModule);
        }
      }
      if (ContextGood(context_)) {
        for (std::uint32_t module : modules) {
          if (module != PA_INVALID_INDEX) UnloadModule(module);
        }
      }
      DropContext();
      pa_threaded_mainloop_unlock(mainloop_);
      pa_threaded_mainloop_stop(mainloop_);
      pa_threaded_mainloop_free(mainloop_);
      mainloop_ = nullptr;
    }
    loop.unlock();
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      connected_ = false;
      for (TMix& mix : mixes_) mix.Forget();
      lines_ = TMixerLines{};
      generation_ = 0;
    }
  }

  // ---- published state

  bool Connected() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_;
  }
  bool MixLoaded() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ && Mix(0).Loaded;
  }
  // The slots' loopbacks' volume in the server's units.
  pa_volume_t SlotLoopbackVolume() const {
    return pa_sw_volume_from_linear(std::clamp(options_.SlotLoopbackVolume, 0.0, 1.0));
  }

  // Whether `sink` is a slot's own mix, loaded now.
  bool IsLoadedSlotSink(const std::string& sink) const {
    std::lock_guard<std::mutex> s(stateMutex_);
    for (int m = 1; m < kMixes; ++m)
      if (Mix(m).Loaded && Mix(m).Sink == sink) return connected_;
    return false;
  }

  bool Loaded(int m) const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ && Mix(0).Loaded && Mix(m).Loaded;
  }
  std::string SinkName(int m = 0) const { return Mix(m).Sink; }
  TMixerLines Lines() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!connected_) return TMixerLines{};
    return lines_;
  }
  std::string MixDeviceName() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ ? Mix(0).DeviceName : "";
  }
  std::string Reason() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return reason_;
  }
  std::uint64_t Generation() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ ? generation_ : 0;
  }
  const TOptions& Options() const { return options_; }
  TSpeakerMute& Mute(int m) { return *Mix(m).Mute; }

  // The mix whose monitor slot `slot`'s recording records now.
  int MixOfSlot(int slot) const {
    if (!ValidSlot(slot)) return 0;
    std::lock_guard<std::mutex> s(stateMutex_);
    const TMix& mix = Mix(slot);
    return connected_ && Mix(0).Loaded && mix.Loaded && !mix.UsesShared ? slot : 0;
  }

  std::string MixMonitor(int m) const { return MonitorSourceName(Mix(m).Sink); }

  std::string SlotDevice(int m) const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ ? Mix(m).DeviceName : "";
  }

  void SetUsesShared(int slot, bool shared) {
    if (!ValidSlot(slot)) return;
    std::lock_guard<std::mutex> s(stateMutex_);
    if (Mix(slot).UsesShared != shared) {
      Log("slot " + std::to_string(slot) +
          (shared ? " now plays into the shared mix" : " plays into its own mix"));
    }
    Mix(slot).UsesShared = shared;
  }

  // Slot `slot`'s sink, loading its mix first when it is not loaded yet.
  std::string SlotSink(int slot) {
    if (!ValidSlot(slot)) return "";
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      TMix& mix = Mix(slot);
      mix.Wanted = true;
      mix.LastUsed = std::chrono::steady_clock::now();
      // On the fallback PULSE_SINK names a sink that is not there, and a
      // stream sent there would fail: the user's sink is what is recorded.
      if (connected_ && !Mix(0).Loaded) return loopbackTarget_;
      if (!connected_ || mix.UsesShared) return "";
      if (mix.Loaded) return mix.Sink;
    }
    std::unique_lock<std::mutex> setup(setupMutex_);
    if (!mainloop_) return "";
    pa_threaded_mainloop_lock(mainloop_);
    TLoadedMix loaded;
    std::string userSink;
    bool go;
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      go = connected_ && Mix(0).Loaded && !Mix(slot).Loaded;
      userSink = loopbackTarget_;
    }
    if (go && ContextGood(context_)) {
      loaded = LoadMix(slot, userSink, ServerInfo());
    }
    pa_threaded_mainloop_unlock(mainloop_);
    if (go) Publish(slot, loaded);
    setup.unlock();
    if (go && loaded.Loaded()) CheckLoopback(slot);
    std::lock_guard<std::mutex> s(stateMutex_);
    const TMix& mix = Mix(slot);
    return connected_ && mix.Loaded && !mix.UsesShared ? mix.Sink : "";
  }

  // ---- the loopbacks' controls (volume and mute of its playback stream)

  std::optional<TLineVolume> Read(int m) {
    const std::uint32_t input = Input(m);
    if (input == PA_INVALID_INDEX) return std::nullopt;
    std::shared_lock<std::shared_mutex> loop(loopMutex_);
    if (!mainloop_) return std::nullopt;
    pa_threaded_mainloop_lock(mainloop_);
    std::vector<TSinkInput> found;
    if (ContextGood(context_)) {
      Wait(pa_context_get_sink_input_info(context_, input, OnSinkInputInfo, &found));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    if (found.empty()) return std::nullopt;
    return found.front().Volume;
  }

  bool SetVolume(int m, const std::vector<std::uint32_t>& channels) {
    const std::uint32_t input = Input(m);
    if (input == PA_INVALID_INDEX || channels.empty() || channels.size() > PA_CHANNELS_MAX) return false;
    pa_cvolume volume;
    pa_cvolume_init(&volume);
    volume.channels = static_cast<std::uint8_t>(channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c) {
      volume.values[c] = std::min<std::uint32_t>(channels[c], PA_VOLUME_MAX);
    }
    int success = 0;
    std::shared_lock<std::shared_mutex> loop(loopMutex_);
    if (!mainloop_) return false;
    pa_threaded_mainloop_lock(mainloop_);
    if (ContextGood(context_)) {
      Wait(pa_context_set_sink_input_volume(context_, input, &volume, OnSuccess, &success));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return success != 0;
  }

  bool SetMute(int m, bool muted) {
    const std::uint32_t input = Input(m);
    if (input == PA_INVALID_INDEX) return false;
    int success = 0;
    std::shared_lock<std::shared_mutex> loop(loopMutex_);
    if (!mainloop_) return false;
    pa_threaded_mainloop_lock(mainloop_);
    if (ContextGood(context_)) {
      Wait(pa_context_set_sink_input_mute(context_, input, muted ? 1 : 0, OnSuccess, &success));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return success != 0;
  }

 private:
  class TLoopbackControls : public TSpeakerControls {
   public:
    TLoopbackControls(Impl& impl, int mix) : impl_(impl), mix_(mix) {}
    bool Available() override { return impl_.Input(mix_) != PA_INVALID_INDEX; }
    std::optional<TLineVolume> Read() override { return impl_.Read(mix_); }
    bool SetVolume(const std::vector<std::uint32_t>& channels) override {
      return impl_.SetVolume(mix_, channels);
    }
    bool SetMute(bool muted) override { return impl_.SetMute(mix_, muted); }

   private:
    Impl& impl_;
    const int mix_;
  };

  // One null sink with its loopback: the shared mix (0) or a slot's.
  struct TMix {
    std::string Sink;
    std::string Description;
    bool Wanted = false;      // to be loaded (and loaded again after a restart)
    bool UsesShared = false;  // a slot whose sound reaches only the shared mix
    bool Loaded = false;
    std::string DeviceName;
    // The loopback's state the last time it was heard: what a new one is
    // set to after the server restarts.
    std::optional<TLineVolume> LastHeard;
    // When something last played into it or recorded it (or asked for it).
    std::chrono::steady_clock::time_point LastUsed;
    std::uint32_t NullSinkModule = PA_INVALID_INDEX;
    std::uint32_t LoopbackModule = PA_INVALID_INDEX;
    std::uint32_t LoopbackInput = PA_INVALID_INDEX;
    std::unique_ptr<TLoopbackControls> Controls;
    std::unique_ptr<TSpeakerMute> Mute;

    void Forget() {
      Loaded = false;
      NullSinkModule = LoopbackModule = LoopbackInput = PA_INVALID_INDEX;
    }
  };

  TMix& Mix(int m) { return mixes_[static_cast<std::size_t>(m)]; }
  const TMix& Mix(int m) const { return mixes_[static_cast<std::size_t>(m)]; }

  std::uint32_t Input(int m) const {
    std::lock_guard<std::mutex> s(stateMutex_);
    const TMix& mix = Mix(m);
    return connected_ && mix.Loaded ? mix.LoopbackInput : PA_INVALID_INDEX;
  }

  void SetReason(const std::string& reason) {
    std::lock_guard<std::mutex> s(stateMutex_);
    reason_ = reason;
  }

  // Records what loading mix `m` gave (stateMutex_ held).
  void Record(int m, const TLoadedMix& loaded) {
    TMix& mix = Mix(m);
    mix.Loaded = loaded.Loaded();
    mix.NullSinkModule = loaded.NullSinkModule;
    mix.LoopbackModule = loaded.LoopbackModule;
    mix.LoopbackInput = loaded.LoopbackInput;
    mix.DeviceName = loaded.DeviceName;
  }

  void Publish(int m, const TLoadedMix& loaded) {
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      Record(m, loaded);
    }
    if (!loaded.Loaded()) LogNoSlotMix(m, loaded.Reason);
  }

  static void LogNoSlotMix(int m, const std::string& reason) {
    Log("slot " + std::to_string(m) + " has no mix of its own (" + reason +
        "); it plays into the shared mix");
  }

  // ---- mainloop-thread callbacks

  static void OnContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    const pa_context_state_t state = pa_context_get_state(context);
    pa_threaded_mainloop_signal(self->mainloop_, 0);
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && context == self->context_ &&
        !self->stopping_) {
      self->ServerLost(pa_strerror(pa_context_errno(context)));
    }
  }

  static void OnSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                             void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
      self->Schedule(TJob::Refresh);  // the default devices may have changed
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && kind != PA_SUBSCRIPTION_EVENT_REMOVE) {
      // Anyone (a session manager restoring a saved state included) may
      // have muted or zeroed a loopback; the check is cheap.
      self->Schedule(TJob::Check);
    } else if (facility == PA_SUBSCRIPTION_EVENT_MODULE && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
               !self->stopping_ && !self->unloading_) {
      bool ours = false;
      {
        std::lock_guard<std::mutex> s(self->stateMutex_);
        for (TMix& mix : self->mixes_) {
          if (mix.Loaded && (index == mix.LoopbackModule || index == mix.NullSinkModule)) {
            ours = true;
            mix.Loaded = false;
          }
        }
      }
      if (ours) {
        Log("one of the mixes' modules was unloaded by someone else; loading them again");
        self->Schedule(TJob::Setup);
      }
    }
  }

  static void OnOperationState(pa_operation*, void* userdata) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
  }

  struct TTimer {
    pa_threaded_mainloop* Mainloop;
    bool Expired = false;
  };
  static void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* timer = static_cast<TTimer*>(userdata);
    timer->Expired = true;
    pa_threaded_mainloop_signal(timer->Mainloop, 0);
  }

  void ServerLost(const std::string& why) {
    bool wasConnected;
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      wasConnected = connected_;
      connected_ = false;
      for (TMix& mix : mixes_) mix.Loaded = false;
    }
    if (wasConnected) {
      Log("lost the sound server (" + why + "); reconnecting");
      Schedule(TJob::Setup);
    }
  }

  enum class TJob { Setup, Refresh, Check };

  void Schedule(TJob job) {
    {
      std::lock_guard<std::mutex> s(superviseMutex_);
      switch (job) {
        case TJob::Setup:
          needSetup_ = true;
          break;
        case TJob::Refresh:
          needRefresh_ = true;
          break;
        case TJob::Check:
          needCheck_ = true;
          break;
      }
    }
    superviseCv_.notify_all();
  }

  // ---- requests (mainloop lock held)

  // Waits for `op` to finish, at most options_.Timeout. True when it did.
  bool Wait(pa_operation* op) {
    if (!op) return false;
    TTimer timer{mainloop_};
    pa_time_event* event = nullptr;
    if (context_) {
      event = pa_context_rttime_new(
          context_, pa_rtclock_now() + static_cast<pa_usec_t>(options_.Timeout.count()) * 1000, OnTimer,
          &timer);
    }
    pa_operation_set_state_callback(op, OnOperationState, mainloop_);
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !timer.Expired && ContextGood(context_)) {
      pa_threaded_mainloop_wait(mainloop_);
    }
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(op);
    pa_operation_set_state_callback(op, nullptr, nullptr);
    pa_operation_unref(op);
    if (event) pa_threaded_mainloop_get_api(mainloop_)->time_free(event);
    if (timer.Expired && !done) Log("the sound server did not answer in time");
    return done;
  }

  void DropContext() {
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }

  bool Connect(std::string* error) {
    DropContext();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    context_ = pa_context_new(api, "Wavecrate");
    if (!context_) {
      *error = "no client context";
      return false;
    }
    pa_context_set_state_callback(context_, OnContextState, this);
    const char* server = options_.Server.empty() ? nullptr : options_.Server.c_str();
    if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      *error = pa_strerror(pa_context_errno(context_));
      DropContext();
      return false;
    }
    TTimer timer{mainloop_};
    pa_time_event* event = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(options_.Timeout.count()) * 1000, OnTimer,
        &timer);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) &&
           !timer.Expired) {
      pa_threaded_mainloop_wait(mainloop_);
    }
    if (event) api->time_free(event);
    if (state != PA_CONTEXT_READY) {
      *error = timer.Expired ? "no answer" : pa_strerror(pa_context_errno(context_));
      DropContext();
      return false;
    }
    return true;
  }

  // Lets the mainloop run for `span` (the lock is released meanwhile).
  void Pause(std::chrono::milliseconds span) {
    TTimer timer{mainloop_};
    pa_time_event* event = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(span.count()) * 1000, OnTimer, &timer);
    while (!timer.Expired && ContextGood(context_)) pa_threaded_mainloop_wait(mainloop_);
    if (event) pa_threaded_mainloop_get_api(mainloop_)->time_free(event);
  }

  TServerInfo ServerInfo() {
    TServerInfo info;
    Wait(pa_context_get_server_info(context_, OnServerInfo, &info));
    return info;
  }

  std::uint32_t LoadModule(const char* name, const std::string& arguments) {
    std::uint32_t index = PA_INVALID_INDEX;
    if (!Wait(pa_context_load_module(context_, name, arguments.c_str(), OnIndex, &index))) {
      return PA_INVALID_INDEX;
    }
    return index;
  }

  bool UnloadModule(std::uint32_t index) {
    int success = 0;
    unloading_ = true;
    Wait(pa_context_unload_module(context_, index, OnSuccess, &success));
    unloading_ = false;
    return success != 0;
  }

  std::string SinkMonitor(const std::string& sink) {
    std::string monitor;
    if (!sink.empty()) Wait(pa_context_get_sink_info_by_name(context_, sink.c_str(), OnSinkInfo, &monitor));
    return monitor;
  }

  // The module that owns the sink called `sink` (PA_INVALID_INDEX: none).
  std::uint32_t SinkOwner(const std::string& sink) {
    std::uint32_t owner = PA_INVALID_INDEX;
    Wait(pa_context_get_sink_info_by_name(
        context_, sink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
          if (!eol && info) *static_cast<std::uint32_t*>(userdata) = info->owner_module;
        },
        &owner));
    return owner;
  }

  std::string SourceDescription(const std::string& source) {
    std::string description;
    if (!source.empty()) {
      Wait(pa_context_get_source_info_by_name(context_, source.c_str(), OnSourceInfo, &description));
    }
    return description;
  }

  // Removes mixes of ours that outlived their process (a crash), and ones
  // of this process from an earlier connection. Only on a local server: the
  // process ids of another machine mean nothing here.
  void RemoveLeftovers() {
    if (!pa_context_is_local(context_)) return;
    std::vector<TModule> modules;
    Wait(pa_context_get_module_info_list(context_, OnModuleInfo, &modules));
    // Loopbacks before the null sinks they read from.
    std::stable_sort(modules.begin(), modules.end(), [](const TModule& a, const TModule& b) {
      return (a.Name == "module-loopback") > (b.Name == "module-loopback");
    });
    for (const TModule& m : modules) {
      const auto owner = StereoMixModuleOwner(m.Argument);
      if (!owner) continue;
      if (*owner == owner_ || !ProcessAlive(*owner)) {
        if (UnloadModule(m.Index)) Log("removed a leftover mix module (" + m.Name + " " + m.Argument + ")");
      }
    }
  }

  // Loads mix `m`: its null sink, then a loopback from the sink's monitor
  // to `userSink` ("" = the server's default). Everything or nothing.
  TLoadedMix LoadMix(int m, const std::string& userSink, const TServerInfo& before) {
    TLoadedMix out;
    const std::string sink = Mix(m).Sink;
    const std::string monitor = MonitorSourceName(sink);
    out.NullSinkModule = LoadModule("module-null-sink", NullSinkArguments(sink, Mix(m).Description));
    if (out.NullSinkModule == PA_INVALID_INDEX) {
      out.Reason = "the sound server refused module-null-sink";
      return out;
    }
    // A server may give the new sink another name when its own is taken;
    // players and the recording would then use someone else's sink.
    if (SinkOwner(sink) != out.NullSinkModule) {
      UnloadModule(out.NullSinkModule);
      out.NullSinkModule = PA_INVALID_INDEX;
      out.Reason = "the sink name " + sink + " is taken";
      return out;
    }
    // Some servers make a new sink the default; that would send every other
    // program's sound into the recording. Put the user's back.
    const TServerInfo after = ServerInfo();
    if (!userSink.empty() && after.DefaultSink == sink) {
      int ok = 0;
      Wait(pa_context_set_default_sink(context_, userSink.c_str(), OnSuccess, &ok));
      Log("the server made a mix its default sink; set it back to " + userSink);
    }
    if (!before.DefaultSource.empty() && before.DefaultSource != monitor && after.DefaultSource == monitor) {
      int ok = 0;
      Wait(pa_context_set_default_source(context_, before.DefaultSource.c_str(), OnSuccess, &ok));
    }
    out.LoopbackModule = LoadModule("module-loopback", LoopbackArguments(sink, userSink));
    TLineVolume loopbackVolume;
    int ok = 0;
    if (out.LoopbackModule == PA_INVALID_INDEX) {
      out.Reason = "the sound server refused module-loopback";
    } else {
      // The loopback's stream is known by its module, or (servers that do
      // not report the owner) by the name we gave it. PipeWire makes it a
      // moment after the module has loaded.
      const auto until = std::chrono::steady_clock::now() + kStreamAppears;
      for (;;) {
        std::vector<TSinkInput> inputs;
        Wait(pa_context_get_sink_input_info_list(context_, OnSinkInputInfo, &inputs));
        for (const TSinkInput& i : inputs) {
          if (i.OwnerModule == out.LoopbackModule || i.Name == LoopbackStreamName(sink)) {
            out.LoopbackInput = i.Index;
            loopbackVolume = i.Volume;
          }
        }
        if (out.LoopbackInput != PA_INVALID_INDEX || std::chrono::steady_clock::now() > until ||
            !ContextGood(context_)) {
          break;
        }
        Pause(std::chrono::milliseconds(20));
      }
      if (out.LoopbackInput == PA_INVALID_INDEX) out.Reason = "the loopback has no playback stream";
    }
    if (!out.Loaded()) {
      if (out.LoopbackModule != PA_INVALID_INDEX) UnloadModule(out.LoopbackModule);
      UnloadModule(out.NullSinkModule);
      out.NullSinkModule = out.LoopbackModule = PA_INVALID_INDEX;
      return out;
    }
    // A slot's player sends its stream in at the stream's own level, so the
    // recording holds what the station sends; the players' volume is the
    // loopback's. A stream the server started at a volume of its own (saved
    // by a session manager from an earlier run) keeps it.
    const bool atNorm = std::all_of(loopbackVolume.Channels.begin(), loopbackVolume.Channels.end(),
                                    [](std::uint32_t v) { return v == PA_VOLUME_NORM; });
    if (m > 0 && atNorm && !loopbackVolume.Channels.empty()) {
      pa_cvolume volume;
      pa_cvolume_set(&volume, static_cast<unsigned>(loopbackVolume.Channels.size()), SlotLoopbackVolume());
      Wait(pa_context_set_sink_input_volume(context_, out.LoopbackInput, &volume, OnSuccess, &ok));
    }
    // A new null sink starts with a long sleep (up to two seconds) before it
    // takes its listeners' latency into account, so a recording that starts
    // at once would get nothing for that long. Suspending and resuming it
    // restarts its timing with the loopback's latency.
    Wait(pa_context_suspend_sink_by_name(context_, sink.c_str(), 1, OnSuccess, &ok));
    Wait(pa_context_suspend_sink_by_name(context_, sink.c_str(), 0, OnSuccess, &ok));
    out.DeviceName = SourceDescription(monitor);
    return out;
  }

  // Connects (again) and sets the mixes up. True when connected.
  bool Setup() {
    std::lock_guard<std::mutex> setup(setupMutex_);
    if (!mainloop_) return false;
    pa_threaded_mainloop_lock(mainloop_);
    std::string error;
    if (!Connect(&error)) {
      pa_threaded_mainloop_unlock(mainloop_);
      const std::string reason = "no sound server (" + error + ")";
      if (reason != Reason()) Log(reason + "; trying again every second");
      SetReason(reason);
      return false;
    }
    RemoveLeftovers();
    const TServerInfo before = ServerInfo();
    std::string userSink = StereoMixOwner(before.DefaultSink) ? "" : before.DefaultSink;
    std::array<TLoadedMix, kMixes> loaded;
    std::array<bool, kMixes> wanted{};
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      for (int m = 0; m < kMixes; ++m) wanted[static_cast<std::size_t>(m)] = Mix(m).Wanted;
    }
    loaded[0] = LoadMix(0, userSink, before);
    for (int m = 1; m < kMixes && loaded[0].Loaded(); ++m) {
      if (wanted[static_cast<std::size_t>(m)])
        loaded[static_cast<std::size_t>(m)] = LoadMix(m, userSink, before);
    }
    const std::string reason = loaded[0].Reason;
    const bool sharedLoaded = loaded[0].Loaded();
    const bool sameAsBefore = !sharedLoaded && reason == Reason();
    pa_context_set_subscribe_callback(context_, OnSubscription, this);
    Wait(pa_context_subscribe(
        context_,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_MODULE |
                                            PA_SUBSCRIPTION_MASK_SINK_INPUT),
        nullptr, nullptr));
    const std::string monitor = MonitorSourceName(Mix(0).Sink);
    TMixerLines lines;
    lines.MixLoaded = sharedLoaded;
    lines.MixMonitor = sharedLoaded ? monitor : "";
    lines.DefaultSinkMonitor =
        SinkMonitor(StereoMixOwner(before.DefaultSink) ? userSink : before.DefaultSink);
    if (!sharedLoaded) loaded[0].DeviceName = SourceDescription(lines.DefaultSinkMonitor);
    pa_threaded_mainloop_unlock(mainloop_);

    {
      // All at once, so a capture never sees the server back with a slot's
      // mix still missing (it would move to the shared mix and back).
      std::lock_guard<std::mutex> s(stateMutex_);
      connected_ = true;
      lines_ = lines;
      loopbackTarget_ = userSink;
      reason_ = reason;
      for (int m = 0; m < kMixes; ++m) {
        if (m == 0 || wanted[static_cast<std::size_t>(m)]) Record(m, loaded[static_cast<std::size_t>(m)]);
      }
      ++generation_;
    }
    for (int m = 1; m < kMixes && sharedLoaded; ++m) {
      if (wanted[static_cast<std::size_t>(m)] && !loaded[static_cast<std::size_t>(m)].Loaded()) {
        LogNoSlotMix(m, loaded[static_cast<std::size_t>(m)].Reason);
      }
    }
    if (sharedLoaded) {
      Log("mix " + Mix(0).Sink + " loaded, heard through " +
          (userSink.empty() ? "the default sink" : userSink));
    } else if (!sameAsBefore) {
      Log(reason + "; recording " +
          (lines.DefaultSinkMonitor.empty() ? "nothing" : lines.DefaultSinkMonitor) +
          " instead, and muting is off");
    }
    for (int m = 0; m < kMixes; ++m) {
      if (!loaded[static_cast<std::size_t>(m)].Loaded()) continue;
      if (Mute(m).Depth() > 0) {
        Mute(m).Reapply();
      } else {
        RestoreLastHeard(m);
        CheckLoopback(m);
      }
    }
    return true;
  }

  // A loopback must be heard while no recording of ours mutes it. It may
  // come up muted or silent when the server restores a state saved while an
  // earlier one was muted (a run killed during a muted recording), or be
  // muted by someone later: put it back.
  void CheckLoopback(int m) {
    Mute(m).IfNotMuted([&] {
      const auto state = Read(m);
      if (!state) return;
      const bool silent = std::all_of(state->Channels.begin(), state->Channels.end(),
                                      [](std::uint32_t v) { return v == PA_VOLUME_MUTED; });
      if (!state->Muted && !silent) {
        std::lock_guard<std::mutex> s(stateMutex_);
        Mix(m).LastHeard = state;
        return;
      }
      Log("the loopback of " + Mix(m).Sink + " was " + (state->Muted ? "muted" : "at volume 0") +
          " with no recording muting it; making it heard again");
      if (silent) {
        SetVolume(m, std::vector<std::uint32_t>(state->Channels.size(),
                                                m > 0 ? SlotLoopbackVolume() : PA_VOLUME_NORM));
      }
      if (state->Muted) SetMute(m, false);
    });
  }

  // After the server came back: a new loopback gets the volume the old one
  // had (the user's setting), not whatever the server starts it at.
  void RestoreLastHeard(int m) {
    Mute(m).IfNotMuted([&] {
      std::optional<TLineVolume> last;
      {
        std::lock_guard<std::mutex> s(stateMutex_);
        last = Mix(m).LastHeard;
      }
      const auto state = Read(m);
      if (!last || !state || state->Channels.size() != last->Channels.size() ||
          state->Channels == last->Channels) {
        return;
      }
      Log("the loopback of " + Mix(m).Sink + " is back; setting it to the volume it had");
      SetVolume(m, last->Channels);
    });
  }

  // Unloads the slots' mixes (loaded on demand) that nothing has played
  // into or recorded for options_.SlotIdleUnload: an idle loaded mix still
  // costs the server a little all the time.
  void UnloadIdleSlots() {
    if (options_.SlotMixesAtStart || options_.SlotIdleUnload.count() <= 0) return;
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> candidates;
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      for (int m = 1; m < kMixes; ++m) {
        if (Mix(m).Loaded && now - Mix(m).LastUsed > options_.SlotIdleUnload) candidates.push_back(m);
      }
    }
    std::erase_if(candidates, [&](int m) { return Mute(m).Depth() > 0; });
    if (candidates.empty()) return;
    std::lock_guard<std::mutex> setup(setupMutex_);
    if (!mainloop_) return;
    pa_threaded_mainloop_lock(mainloop_);
    if (!ContextGood(context_)) {
      pa_threaded_mainloop_unlock(mainloop_);
      return;
    }
    std::vector<TSinkInput> inputs;
    std::vector<TSourceOutput> outputs;
    Wait(pa_context_get_sink_input_info_list(context_, OnSinkInputInfo, &inputs));
    Wait(pa_context_get_source_output_info_list(context_, OnSourceOutputInfo, &outputs));
    std::vector<std::string> unloaded;
    for (int m : candidates) {
      TSinkIndexes indexes;
      Wait(pa_context_get_sink_info_by_name(context_, Mix(m).Sink.c_str(), OnSinkIndexes, &indexes));
      std::uint32_t loopback, nullSink;
      {
        std::lock_guard<std::mutex> s(stateMutex_);
        loopback = Mix(m).LoopbackModule;
        nullSink = Mix(m).NullSinkModule;
      }
      const bool played = std::any_of(inputs.begin(), inputs.end(),
                                      [&](const TSinkInput& i) { return i.Sink == indexes.Sink; });
      const bool recorded = std::any_of(outputs.begin(), outputs.end(), [&](const TSourceOutput& o) {
        return o.Source == indexes.Monitor && o.OwnerModule != loopback;
      });
      if (indexes.Sink == PA_INVALID_INDEX || played || recorded) {
        std::lock_guard<std::mutex> s(stateMutex_);
        Mix(m).LastUsed = now;
        continue;
      }
      {
        // Forgotten before the server's removal events come in, so they are
        // not taken for someone else unloading our modules.
        std::lock_guard<std::mutex> s(stateMutex_);
        Mix(m).Forget();
        Mix(m).Wanted = false;
      }
      UnloadModule(loopback);
      UnloadModule(nullSink);
      unloaded.push_back(Mix(m).Sink);
    }
    pa_threaded_mainloop_unlock(mainloop_);
    for (const std::string& sink : unloaded)
      Log("unloaded " + sink + ": nothing played into it or recorded it");
  }

  void CheckLoopbacks() {
    for (int m = 0; m < kMixes; ++m) {
      if (Input(m) != PA_INVALID_INDEX) CheckLoopback(m);
    }
  }

  // The default devices changed: the loopbacks follow the default sink.
  void Refresh() {
    std::lock_guard<std::mutex> setup(setupMutex_);
    if (!mainloop_) return;
    pa_threaded_mainloop_lock(mainloop_);
    if (!ContextGood(context_)) {
      pa_threaded_mainloop_unlock(mainloop_);
      return;
    }
    const TServerInfo info = ServerInfo();
    std::string current;
    std::vector<std::uint32_t> inputs;
    bool loaded;
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      current = loopbackTarget_;
      loaded = Mix(0).Loaded;
      for (const TMix& mix : mixes_) {
        if (mix.Loaded) inputs.push_back(mix.LoopbackInput);
      }
    }
    std::string target;
    const bool ours = StereoMixOwner(info.DefaultSink).has_value();
    if (loaded && !info.DefaultSink.empty() && !ours && info.DefaultSink != current) {
      bool all = true;
      for (std::uint32_t input : inputs) {
        int ok = 0;
        Wait(pa_context_move_sink_input_by_name(context_, input, info.DefaultSink.c_str(), OnSuccess, &ok));
        all = all && ok;
      }
      if (all) {
        target = info.DefaultSink;
        Log("the mixes are now heard through " + target);
      }
    }
    const std::string sinkMonitor = SinkMonitor(ours ? current : info.DefaultSink);
    std::string deviceName;
    if (!loaded) deviceName = SourceDescription(sinkMonitor);
    pa_threaded_mainloop_unlock(mainloop_);
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!target.empty()) loopbackTarget_ = target;
    if (!sinkMonitor.empty()) lines_.DefaultSinkMonitor = sinkMonitor;
    if (!loaded && !deviceName.empty()) Mix(0).DeviceName = deviceName;
  }

  void Supervise() {
    auto lastIdleCheck = std::chrono::steady_clock::now();
    for (;;) {
      if (std::chrono::steady_clock::now() - lastIdleCheck >= options_.IdleCheckInterval) {
        // A server that refused our mix may take it now: recordings leave
        // the fallback as soon as it is there.
        if (Connected() && !MixLoaded()) Setup();
        UnloadIdleSlots();
        lastIdleCheck = std::chrono::steady_clock::now();
      }
      bool setup, refresh, check;
      {
        std::unique_lock<std::mutex> lock(superviseMutex_);
        const bool woken = superviseCv_.wait_for(lock, options_.IdleCheckInterval, [&] {
          return superviseStop_ || needSetup_ || needRefresh_ || needCheck_;
        });
        if (superviseStop_) return;
        if (!woken) continue;
        setup = needSetup_;
        refresh = needRefresh_;
        check = needCheck_;
        needSetup_ = needRefresh_ = needCheck_ = false;
      }
      if (setup) {
        if (!Setup()) {
          std::unique_lock<std::mutex> lock(superviseMutex_);
          superviseCv_.wait_for(lock, options_.RetryInterval, [&] { return superviseStop_; });
          if (superviseStop_) return;
          needSetup_ = true;
        }
        continue;
      }
      if (refresh) Refresh();
      if (check) CheckLoopbacks();
    }
  }

  const TOptions options_;
  const long owner_;
  std::array<TMix, kMixes> mixes_;  // names, controls and mutes fixed; the rest under stateMutex_

  std::mutex lifeMutex_;   // Start/Stop
  std::mutex setupMutex_;  // one change of the server's modules at a time
  bool started_ = false;

  // The mainloop pointer: made in Start and freed in Stop under setupMutex_
  // and loopMutex_ (exclusive); every other use holds one of the two (the
  // loopbacks' controls hold loopMutex_ shared, as they run under a mute
  // lock, which comes after setupMutex_).
  std::shared_mutex loopMutex_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;  // under the mainloop lock
  std::atomic<bool> stopping_{false};
  std::atomic<bool> unloading_{false};

  mutable std::mutex stateMutex_;
  bool connected_ = false;
  TMixerLines lines_;
  std::string loopbackTarget_;
  std::string reason_;
  std::uint64_t generation_ = 0;

  std::thread supervisor_;
  std::mutex superviseMutex_;
  std::condition_variable superviseCv_;
  bool superviseStop_ = false;
  bool needSetup_ = false;
  bool needRefresh_ = false;
  bool needCheck_ = false;
};

// ---------------------------------------------------------------- TStereoMix

namespace {
int ClampMix(int mix) {
  return mix >= 0 && mix <= kMixSlots ? mix : 0;
}
}  // namespace

std::string PointPlaybackAtStereoMix() {
  const std::string sink = StereoMixSinkName(static_cast<long>(::getpid()));
  ::setenv("PULSE_SINK", sink.c_str(), 1);
  return sink;
}

TStereoMix::TStereoMix() : TStereoMix(TOptions{}) {}
TStereoMix::TStereoMix(TOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
TStereoMix::~TStereoMix() = default;

bool TStereoMix::Start() {
  return impl_->Start();
}
void TStereoMix::Stop() {
  impl_->Stop();
}
bool TStereoMix::Connected() const {
  return impl_->Connected();
}
bool TStereoMix::MixLoaded() const {
  return impl_->MixLoaded();
}
std::string TStereoMix::SinkName() const {
  return impl_->SinkName();
}
std::string TStereoMix::MonitorSource() const {
  return StereoMixLine(impl_->Lines());
}
std::string TStereoMix::FallbackReason() const {
  return impl_->MixLoaded() ? "" : impl_->Reason();
}
std::optional<TLineVolume> TStereoMix::LoopbackState(int mix) {
  return impl_->Read(ClampMix(mix));
}
int TStereoMix::MuteDepth(int mix) const {
  return impl_->Mute(ClampMix(mix)).Depth();
}

std::string TStereoMix::SlotSink(int slot) {
  return impl_->SlotSink(slot);
}
void TStereoMix::SetSlotUsesSharedMix(int slot, bool shared) {
  impl_->SetUsesShared(slot, shared);
}
bool TStereoMix::SinkCarriesPlayerVolume(const std::string& sink) const {
  return !sink.empty() && impl_->IsLoadedSlotSink(sink);
}
bool TStereoMix::SlotMixLoaded(int slot) const {
  return ValidSlot(slot) && impl_->Loaded(slot);
}
std::string TStereoMix::SlotSinkName(int slot) const {
  return ValidSlot(slot) ? impl_->SinkName(slot) : "";
}

std::string TStereoMix::ServerAddress() const {
  return impl_->Options().Server;
}
std::string TStereoMix::StereoMixLineSource() {
  return MonitorSource();
}
std::string TStereoMix::StereoMixDeviceName() {
  return impl_->MixDeviceName();
}
std::string TStereoMix::SlotLineSource(int slot) {
  const int mix = impl_->MixOfSlot(slot);
  return mix == 0 ? MonitorSource() : impl_->MixMonitor(mix);
}
std::string TStereoMix::SlotDeviceName(int slot) {
  const int mix = impl_->MixOfSlot(slot);
  return mix == 0 ? StereoMixDeviceName() : impl_->SlotDevice(mix);
}
int TStereoMix::SlotMix(int slot) {
  return impl_->MixOfSlot(slot);
}

bool TStereoMix::MuteMix(int mix) {
  mix = ClampMix(mix);
  if (!impl_->MixLoaded()) {
    Log("muting is off: " + (impl_->Reason().empty() ? std::string("no mix of our own") : impl_->Reason()) +
        " (muting the speakers would silence the recording)");
    return false;
  }
  impl_->Mute(mix).Mute();
  return true;
}

void TStereoMix::RestoreMix(int mix) {
  impl_->Mute(ClampMix(mix)).Restore();
}

std::uint64_t TStereoMix::ServerGeneration() const {
  return impl_->Generation();
}

}  // namespace wavecrate
