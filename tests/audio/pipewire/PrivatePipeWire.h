// A PipeWire of a test's own: the daemon, WirePlumber as its session manager
// and its PulseAudio service, on a private runtime folder and a private
// session bus, with a null sink "speakers" as the user's default sink. What
// WirePlumber saves about streams lives in the private state folder and
// survives Stop() and Start(), as it survives a restart or a crash on a
// desktop.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/pulse/PulseTestSupport.h"
#include "support/Subprocess.h"

namespace wavecrate::test {

class PrivatePipeWire {
 public:
  PrivatePipeWire() {
    char pattern[] = "/tmp/wavecrate-pipewire.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ::chmod(dir_.c_str(), 0700);
    for (const char* sub : {"/state", "/config", "/home"}) std::filesystem::create_directories(dir_ + sub);
    bus_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + dir_ + "/bus"},
        Env());
    WaitUntil([&] { return std::filesystem::exists(dir_ + "/bus"); }, std::chrono::seconds(5));
    up_ = Start();
  }
  ~PrivatePipeWire() {
    Stop();
    bus_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  PrivatePipeWire(const PrivatePipeWire&) = delete;
  PrivatePipeWire& operator=(const PrivatePipeWire&) = delete;

  // Whether the three daemons came up (false when PipeWire is not installed).
  bool Up() const { return up_; }
  std::string Address() const { return "unix:" + dir_ + "/pulse/native"; }
  // WirePlumber's saved stream states.
  std::string SavedStreams() const { return ReadText(dir_ + "/state/wireplumber/restore-stream"); }

  bool Start() {
    for (const char* daemon : {"pipewire", "wireplumber", "pipewire-pulse"}) {
      daemons_.push_back(
          std::make_unique<Subprocess>(std::vector<std::string>{daemon}, Env(), dir_ + "/log"));
      if (daemons_.size() == 1) {
        WaitUntil([&] { return std::filesystem::exists(dir_ + "/pipewire-0"); }, std::chrono::seconds(5));
      }
    }
    if (!WaitUntil([&] { return Pactl("info", Address()).find("Server Name") != std::string::npos; },
                   std::chrono::seconds(10))) {
      return false;
    }
    Pactl("load-module module-null-sink sink_name=speakers", Address());
    const bool speakers =
        WaitUntil([&] { return Pactl("list short sinks", Address()).find("speakers") != std::string::npos; },
                  std::chrono::seconds(5));
    Pactl("set-default-sink speakers", Address());
    return speakers;
  }

  // Ends the three daemons the way a crash would (the bus stays).
  void Stop() {
    for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) {
      (*it)->Signal(SIGKILL);
      (*it)->Wait(std::chrono::seconds(5));
    }
    daemons_.clear();
    std::error_code ec;
    std::filesystem::remove(dir_ + "/pipewire-0", ec);
    std::filesystem::remove(dir_ + "/pulse/native", ec);
  }

 private:
  std::vector<std::string> Env() const {
    return {"XDG_RUNTIME_DIR=" + dir_,
            "XDG_STATE_HOME=" + dir_ + "/state",
            "XDG_CONFIG_HOME=" + dir_ + "/config",
            "HOME=" + dir_ + "/home",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir_ + "/bus",
            "PIPEWIRE_RUNTIME_DIR=" + dir_,
            "PULSE_RUNTIME_PATH=" + dir_ + "/pulse"};
  }
  static std::string ReadText(const std::string& path) {
    return Shell("cat " + ShellQuote(path) + " 2>/dev/null");
  }

  std::string dir_;
  bool up_ = false;
  std::unique_ptr<Subprocess> bus_;
  std::vector<std::unique_ptr<Subprocess>> daemons_;
};

}  // namespace wavecrate::test
