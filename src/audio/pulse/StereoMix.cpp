#include "audio/pulse/StereoMix.h"

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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
  TLineVolume Volume;
};

void OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  if (eol || !info) return;
  TSinkInput input{info->index, info->owner_module, {}};
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

}  // namespace

// The mainloop thread runs libpulse's callbacks; every other thread talks to
// the server with the mainloop lock held, waiting (bounded) for replies.
// Lock order: the mainloop lock before state_mutex_, never the reverse.
class TStereoMix::Impl : public TSpeakerControls {
 public:
  explicit Impl(TOptions options)
      : options_(std::move(options)),
        sinkName_(StereoMixSinkName(options_.OwnerId > 0 ? options_.OwnerId : static_cast<long>(::getpid()))),
        mute_(*this, Log) {}

  ~Impl() override { Stop(); }

  bool Start() {
    {
      std::lock_guard<std::mutex> lock(lifeMutex_);
      if (started_) return MixLoaded();
      started_ = true;
      stopping_ = false;
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
    if (mainloop_) {
      pa_threaded_mainloop_lock(mainloop_);
      stopping_ = true;
      std::uint32_t loopback, nullSink;
      {
        std::lock_guard<std::mutex> s(stateMutex_);
        loopback = loopbackModule_;
        nullSink = nullSinkModule_;
      }
      if (ContextGood(context_)) {
        // The loopback first: it reads the null sink's monitor.
        if (loopback != PA_INVALID_INDEX) UnloadModule(loopback);
        if (nullSink != PA_INVALID_INDEX) UnloadModule(nullSink);
      }
      DropContext();
      pa_threaded_mainloop_unlock(mainloop_);
      pa_threaded_mainloop_stop(mainloop_);
      pa_threaded_mainloop_free(mainloop_);
      mainloop_ = nullptr;
    }
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      connected_ = false;
      loaded_ = false;
      loopbackModule_ = nullSinkModule_ = loopbackInput_ = PA_INVALID_INDEX;
      lines_ = TMixerLines{};
      generation_ = 0;
    }
    if (pointedPlayback_) {
      const char* current = std::getenv("PULSE_SINK");
      if (current && sinkName_ == current) ::unsetenv("PULSE_SINK");
      pointedPlayback_ = false;
    }
  }

  // ---- published state

  bool Connected() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_;
  }
  bool MixLoaded() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ && loaded_;
  }
  std::string SinkName() const { return sinkName_; }
  TMixerLines Lines() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!connected_) return TMixerLines{};
    return lines_;
  }
  std::string MixDeviceName() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ ? mixDeviceName_ : "";
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
  TSpeakerMute& Mute() { return mute_; }

  // ---- TSpeakerControls: the loopback's sink input

  bool Available() override { return MixLoaded() && Input() != PA_INVALID_INDEX; }

  std::optional<TLineVolume> Read() override {
    const std::uint32_t input = Input();
    if (input == PA_INVALID_INDEX || !mainloop_) return std::nullopt;
    pa_threaded_mainloop_lock(mainloop_);
    std::vector<TSinkInput> found;
    if (ContextGood(context_)) {
      Wait(pa_context_get_sink_input_info(context_, input, OnSinkInputInfo, &found));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    if (found.empty()) return std::nullopt;
    return found.front().Volume;
  }

  bool SetVolume(const std::vector<std::uint32_t>& channels) override {
    const std::uint32_t input = Input();
    if (input == PA_INVALID_INDEX || !mainloop_ || channels.empty() || channels.size() > PA_CHANNELS_MAX) {
      return false;
    }
    pa_cvolume volume;
    pa_cvolume_init(&volume);
    volume.channels = static_cast<std::uint8_t>(channels.size());
    for (std::size_t c = 0; c < channels.size(); ++c) {
      volume.values[c] = std::min<std::uint32_t>(channels[c], PA_VOLUME_MAX);
    }
    int success = 0;
    pa_threaded_mainloop_lock(mainloop_);
    if (ContextGood(context_)) {
      Wait(pa_context_set_sink_input_volume(context_, input, &volume, OnSuccess, &success));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return success != 0;
  }

  bool SetMute(bool muted) override {
    const std::uint32_t input = Input();
    if (input == PA_INVALID_INDEX || !mainloop_) return false;
    int success = 0;
    pa_threaded_mainloop_lock(mainloop_);
    if (ContextGood(context_)) {
      Wait(pa_context_set_sink_input_mute(context_, input, muted ? 1 : 0, OnSuccess, &success));
    }
    pa_threaded_mainloop_unlock(mainloop_);
    return success != 0;
  }

 private:
  std::uint32_t Input() const {
    std::lock_guard<std::mutex> s(stateMutex_);
    return connected_ && loaded_ ? loopbackInput_ : PA_INVALID_INDEX;
  }

  void SetReason(const std::string& reason) {
    std::lock_guard<std::mutex> s(stateMutex_);
    reason_ = reason;
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
      self->Schedule(false);  // the default devices may have changed
    } else if (facility == PA_SUBSCRIPTION_EVENT_MODULE && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
               !self->stopping_ && !self->unloading_) {
      bool ours;
      {
        std::lock_guard<std::mutex> s(self->stateMutex_);
        ours = self->loaded_ && (index == self->loopbackModule_ || index == self->nullSinkModule_);
        if (ours) self->loaded_ = false;
      }
      if (ours) {
        Log("one of the mix's modules was unloaded by someone else; loading them again");
        self->Schedule(true);
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
      loaded_ = false;
    }
    if (wasConnected) {
      Log("lost the sound server (" + why + "); reconnecting");
      Schedule(true);
    }
  }

  void Schedule(bool setup) {
    {
      std::lock_guard<std::mutex> s(superviseMutex_);
      if (setup) {
        needSetup_ = true;
      } else {
        needRefresh_ = true;
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

  std::string SourceDescription(const std::string& source) {
    std::string description;
    if (!source.empty()) {
      Wait(pa_context_get_source_info_by_name(context_, source.c_str(), OnSourceInfo, &description));
    }
    return description;
  }

  // Removes mixes of ours that outlived their process (a crash), and one of
  // this process from an earlier connection. Only on a local server: the
  // process ids of another machine mean nothing here.
  void RemoveLeftovers() {
    if (!pa_context_is_local(context_)) return;
    std::vector<TModule> modules;
    Wait(pa_context_get_module_info_list(context_, OnModuleInfo, &modules));
    const long self = options_.OwnerId > 0 ? options_.OwnerId : static_cast<long>(::getpid());
    // Loopbacks before the null sinks they read from.
    std::stable_sort(modules.begin(), modules.end(), [](const TModule& a, const TModule& b) {
      return (a.Name == "module-loopback") > (b.Name == "module-loopback");
    });
    for (const TModule& m : modules) {
      const auto owner = StereoMixModuleOwner(m.Argument);
      if (!owner) continue;
      if (*owner == self || !ProcessAlive(*owner)) {
        if (UnloadModule(m.Index)) Log("removed a leftover mix module (" + m.Name + " " + m.Argument + ")");
      }
    }
  }

  // Connects (again) and sets the mix up. True when connected.
  bool Setup() {
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
    std::string reason;
    std::uint32_t nullSink = LoadModule("module-null-sink", NullSinkArguments(sinkName_));
    std::uint32_t loopback = PA_INVALID_INDEX;
    std::uint32_t input = PA_INVALID_INDEX;
    const std::string monitor = MonitorSourceName(sinkName_);
    std::string userSink = before.DefaultSink == sinkName_ ? "" : before.DefaultSink;
    if (nullSink == PA_INVALID_INDEX) {
      reason = "the sound server refused module-null-sink";
    } else {
      // Some servers make a new sink the default; that would send every
      // other program's sound into the recording. Put the user's back.
      const TServerInfo after = ServerInfo();
      if (!userSink.empty() && after.DefaultSink == sinkName_) {
        int ok = 0;
        Wait(pa_context_set_default_sink(context_, userSink.c_str(), OnSuccess, &ok));
        Log("the server made the mix its default sink; set it back to " + userSink);
      }
      if (!before.DefaultSource.empty() && before.DefaultSource != monitor &&
          after.DefaultSource == monitor) {
        int ok = 0;
        Wait(pa_context_set_default_source(context_, before.DefaultSource.c_str(), OnSuccess, &ok));
      }
      loopback = LoadModule("module-loopback", LoopbackArguments(sinkName_, userSink));
      if (loopback == PA_INVALID_INDEX) {
        reason = "the sound server refused module-loopback";
      } else {
        std::vector<TSinkInput> inputs;
        Wait(pa_context_get_sink_input_info_list(context_, OnSinkInputInfo, &inputs));
        for (const TSinkInput& i : inputs) {
          if (i.OwnerModule == loopback) input = i.Index;
        }
        if (input == PA_INVALID_INDEX) reason = "the loopback has no playback stream";
      }
      if (input != PA_INVALID_INDEX) {
        // A new null sink starts with a long sleep (up to two seconds) before
        // it takes its listeners' latency into account, so a recording that
        // starts at once would get nothing for that long. Suspending and
        // resuming it restarts its timing with the loopback's latency.
        int ok = 0;
        Wait(pa_context_suspend_sink_by_name(context_, sinkName_.c_str(), 1, OnSuccess, &ok));
        Wait(pa_context_suspend_sink_by_name(context_, sinkName_.c_str(), 0, OnSuccess, &ok));
      }
      if (input == PA_INVALID_INDEX) {
        if (loopback != PA_INVALID_INDEX) UnloadModule(loopback);
        UnloadModule(nullSink);
        loopback = nullSink = PA_INVALID_INDEX;
      }
    }
    const bool loaded = input != PA_INVALID_INDEX;
    pa_context_set_subscribe_callback(context_, OnSubscription, this);
    Wait(pa_context_subscribe(
        context_,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_MODULE),
        nullptr, nullptr));
    TMixerLines lines;
    lines.MixLoaded = loaded;
    lines.MixMonitor = loaded ? monitor : "";
    lines.DefaultSinkMonitor = SinkMonitor(before.DefaultSink == sinkName_ ? userSink : before.DefaultSink);
    lines.DefaultSource = before.DefaultSource == monitor ? "" : before.DefaultSource;
    const std::string deviceName = SourceDescription(LineSource(kStereoMixLine, lines));
    pa_threaded_mainloop_unlock(mainloop_);

    {
      std::lock_guard<std::mutex> s(stateMutex_);
      connected_ = true;
      loaded_ = loaded;
      lines_ = lines;
      loopbackTarget_ = userSink;
      mixDeviceName_ = deviceName;
      reason_ = reason;
      nullSinkModule_ = nullSink;
      loopbackModule_ = loopback;
      loopbackInput_ = input;
      ++generation_;
    }
    if (options_.PointPlaybackHere) {
      const char* current = std::getenv("PULSE_SINK");
      if (loaded && (!current || sinkName_ != current)) {
        ::setenv("PULSE_SINK", sinkName_.c_str(), 1);
        pointedPlayback_ = true;
      } else if (!loaded && current && sinkName_ == current) {
        // Players pointed at a sink that does not exist fail outright.
        ::unsetenv("PULSE_SINK");
        pointedPlayback_ = false;
      }
    }
    if (loaded) {
      Log("mix " + sinkName_ + " loaded, heard through " +
          (userSink.empty() ? "the default sink" : userSink));
      if (mute_.Depth() > 0) {
        mute_.Reapply();
      } else {
        WakeLoopback();
      }
    } else {
      Log(reason + "; recording " +
          (lines.DefaultSinkMonitor.empty() ? "nothing" : lines.DefaultSinkMonitor) +
          " instead, and muting is off");
    }
    return true;
  }

  // A fresh loopback may come up muted or silent when the server restores
  // a state saved while an earlier one was muted (a crash during a muted
  // recording): nobody is muting now, so it must be heard.
  void WakeLoopback() {
    const auto state = Read();
    if (!state) return;
    const bool silent =
        std::all_of(state->Channels.begin(), state->Channels.end(), [](std::uint32_t v) { return v == 0; });
    if (state->Muted || silent) {
      Log("the loopback came up muted; unmuting it");
      if (silent) SetVolume(std::vector<std::uint32_t>(state->Channels.size(), PA_VOLUME_NORM));
      SetMute(false);
    }
  }

  // The default devices changed: the microphone line follows the default
  // input, and the loopback follows the default sink.
  void Refresh() {
    if (!mainloop_) return;
    pa_threaded_mainloop_lock(mainloop_);
    if (!ContextGood(context_)) {
      pa_threaded_mainloop_unlock(mainloop_);
      return;
    }
    const TServerInfo info = ServerInfo();
    std::string target, current;
    std::uint32_t input;
    bool loaded;
    {
      std::lock_guard<std::mutex> s(stateMutex_);
      current = loopbackTarget_;
      input = loopbackInput_;
      loaded = loaded_;
    }
    if (loaded && !info.DefaultSink.empty() && info.DefaultSink != sinkName_ && info.DefaultSink != current) {
      int ok = 0;
      Wait(pa_context_move_sink_input_by_name(context_, input, info.DefaultSink.c_str(), OnSuccess, &ok));
      if (ok) {
        target = info.DefaultSink;
        Log("the mix is now heard through " + target);
      }
    }
    const std::string monitor = MonitorSourceName(sinkName_);
    const std::string sinkMonitor = SinkMonitor(info.DefaultSink == sinkName_ ? current : info.DefaultSink);
    std::string deviceName;
    if (!loaded) deviceName = SourceDescription(sinkMonitor);
    pa_threaded_mainloop_unlock(mainloop_);
    std::lock_guard<std::mutex> s(stateMutex_);
    if (!target.empty()) loopbackTarget_ = target;
    if (!info.DefaultSource.empty())
      lines_.DefaultSource = info.DefaultSource == monitor ? "" : info.DefaultSource;
    if (!sinkMonitor.empty()) lines_.DefaultSinkMonitor = sinkMonitor;
    if (!loaded && !deviceName.empty()) mixDeviceName_ = deviceName;
  }

  void Supervise() {
    for (;;) {
      bool setup, refresh;
      {
        std::unique_lock<std::mutex> lock(superviseMutex_);
        superviseCv_.wait(lock, [&] { return superviseStop_ || needSetup_ || needRefresh_; });
        if (superviseStop_) return;
        setup = needSetup_;
        refresh = needRefresh_;
        needSetup_ = needRefresh_ = false;
      }
      if (setup) {
        if (!Setup()) {
          std::unique_lock<std::mutex> lock(superviseMutex_);
          superviseCv_.wait_for(lock, options_.RetryInterval, [&] { return superviseStop_; });
          if (superviseStop_) return;
          needSetup_ = true;
        }
      } else if (refresh) {
        Refresh();
      }
    }
  }

  const TOptions options_;
  const std::string sinkName_;
  TSpeakerMute mute_;

  std::mutex lifeMutex_;  // Start/Stop
  bool started_ = false;
  bool pointedPlayback_ = false;

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;  // under the mainloop lock
  std::atomic<bool> stopping_{false};
  std::atomic<bool> unloading_{false};

  mutable std::mutex stateMutex_;
  bool connected_ = false;
  bool loaded_ = false;
  TMixerLines lines_;
  std::string loopbackTarget_;
  std::string mixDeviceName_;
  std::string reason_;
  std::uint32_t nullSinkModule_ = PA_INVALID_INDEX;
  std::uint32_t loopbackModule_ = PA_INVALID_INDEX;
  std::uint32_t loopbackInput_ = PA_INVALID_INDEX;
  std::uint64_t generation_ = 0;

  std::thread supervisor_;
  std::mutex superviseMutex_;
  std::condition_variable superviseCv_;
  bool superviseStop_ = false;
  bool needSetup_ = false;
  bool needRefresh_ = false;
};

// ---------------------------------------------------------------- TStereoMix

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
  return LineSource(kStereoMixLine, impl_->Lines());
}
std::string TStereoMix::DefaultInputSource() const {
  return LineSource(kMicrophoneLine, impl_->Lines());
}
std::string TStereoMix::FallbackReason() const {
  return impl_->MixLoaded() ? "" : impl_->Reason();
}
std::optional<TLineVolume> TStereoMix::LoopbackState() {
  return impl_->Read();
}
int TStereoMix::MuteDepth() const {
  return impl_->Mute().Depth();
}

std::string TStereoMix::ServerAddress() const {
  return impl_->Options().Server;
}
std::string TStereoMix::RecordingLineSource(int choice) {
  return LineSource(choice, impl_->Lines());
}
std::string TStereoMix::StereoMixDeviceName() {
  return impl_->MixDeviceName();
}

bool TStereoMix::MuteSpeakers() {
  if (!impl_->MixLoaded()) {
    Log("muting is off: " + (impl_->Reason().empty() ? std::string("no mix of our own") : impl_->Reason()) +
        " (muting the speakers would silence the recording)");
    return false;
  }
  impl_->Mute().Mute();
  return true;
}

void TStereoMix::RestoreSpeakers() {
  impl_->Mute().Restore();
}

std::uint64_t TStereoMix::ServerGeneration() const {
  return impl_->Generation();
}

}  // namespace wavecrate
