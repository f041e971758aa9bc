#include "audio/Mixer.h"

#include <charconv>
#include <exception>

namespace wavecrate {

namespace {

constexpr std::string_view kSinkPrefix = "wavecrate_mix_";
constexpr std::string_view kMonitorSuffix = ".monitor";
constexpr std::string_view kSlotInfix = "_slot";

// The value of `key=` in a module argument string (values of ours never hold
// blanks, so the value ends at the next blank).
std::optional<std::string_view> ArgumentValue(std::string_view arguments, std::string_view key) {
  std::size_t at = 0;
  while (at < arguments.size()) {
    const std::size_t end = arguments.find(' ', at);
    const std::string_view word = arguments.substr(at, end == std::string_view::npos ? end : end - at);
    if (word.size() > key.size() && word.substr(0, key.size()) == key && word[key.size()] == '=') {
      return word.substr(key.size() + 1);
    }
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::string StereoMixSinkName(long pid) {
  return std::string(kSinkPrefix) + std::to_string(pid);
}

std::string SlotMixSinkName(long pid, int slot) {
  return StereoMixSinkName(pid) + std::string(kSlotInfix) + std::to_string(slot);
}

std::string SlotMixDescription(int slot) {
  return "Wavecrate Slot " + std::to_string(slot) + " Stereo Mix";
}

std::optional<long> StereoMixOwner(std::string_view sinkName) {
  if (sinkName.substr(0, kSinkPrefix.size()) != kSinkPrefix) return std::nullopt;
  std::string_view digits = sinkName.substr(kSinkPrefix.size());
  if (const std::size_t slot = digits.find(kSlotInfix); slot != std::string_view::npos) {
    const std::string_view n = digits.substr(slot + kSlotInfix.size());
    if (n.size() != 1 || n[0] < '1' || n[0] > static_cast<char>('0' + kMixSlots)) return std::nullopt;
    digits = digits.substr(0, slot);
  }
  long pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

std::optional<long> StereoMixModuleOwner(std::string_view moduleArgument) {
  if (const auto sink = ArgumentValue(moduleArgument, "sink_name")) return StereoMixOwner(*sink);
  if (const auto source = ArgumentValue(moduleArgument, "source")) {
    if (source->size() > kMonitorSuffix.size() &&
        source->substr(source->size() - kMonitorSuffix.size()) == kMonitorSuffix) {
      return StereoMixOwner(source->substr(0, source->size() - kMonitorSuffix.size()));
    }
  }
  return std::nullopt;
}

std::string NullSinkArguments(const std::string& sinkName, const std::string& description) {
  return "sink_name=" + sinkName + " sink_properties='device.description=\"" + description + "\"'";
}

std::string LoopbackArguments(const std::string& sinkName, const std::string& targetSink) {
  std::string arguments = "source=" + MonitorSourceName(sinkName) + " source_dont_move=true";
  if (!targetSink.empty()) arguments += " sink=" + targetSink;
  arguments += " sink_input_properties=media.name=" + LoopbackStreamName(sinkName);
  arguments += " source_output_properties=media.name=" + LoopbackInputStreamName(sinkName);
  return arguments;
}

std::string LoopbackStreamName(const std::string& sinkName) {
  return sinkName + "_loopback";
}

std::string LoopbackInputStreamName(const std::string& sinkName) {
  return sinkName + "_loopback_in";
}

std::string MonitorSourceName(const std::string& sinkName) {
  return sinkName + std::string(kMonitorSuffix);
}

std::string StereoMixLine(const TMixerLines& lines) {
  return lines.MixLoaded ? lines.MixMonitor : lines.DefaultSinkMonitor;
}

// ---------------------------------------------------------------- TSpeakerMute

TSpeakerMute::TSpeakerMute(TSpeakerControls& controls, TLog log)
    : controls_(controls), log_(std::move(log)) {}

void TSpeakerMute::Guard(const char* what, const std::function<bool()>& call) {
  std::string failure;
  try {
    if (!call()) failure = "refused";
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  if (!failure.empty() && log_) log_(std::string("speaker mute: ") + what + " failed: " + failure);
}

void TSpeakerMute::Silence() {
  std::vector<std::uint32_t> zero(saved_ && !saved_->Channels.empty() ? saved_->Channels.size() : 2, 0);
  Guard("volume to 0", [&] { return controls_.SetVolume(zero); });
  Guard("mute on", [&] { return controls_.SetMute(true); });
}

void TSpeakerMute::Mute() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_++ > 0) return;
  saved_.reset();
  try {
    saved_ = controls_.Read();
  } catch (...) {
    saved_.reset();
  }
  if (!saved_ && log_) log_("speaker mute: the speakers' state could not be read; nothing will be put back");
  Silence();
}

void TSpeakerMute::Restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ == 0) return;
  if (--depth_ > 0) return;
  if (saved_) {
    const TLineVolume before = *saved_;
    Guard("volume back", [&] { return controls_.SetVolume(before.Channels); });
    Guard("mute back", [&] { return controls_.SetMute(before.Muted); });
  }
  saved_.reset();
}

void TSpeakerMute::Reapply() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ == 0) return;
  if (!saved_) {
    try {
      saved_ = controls_.Read();
    } catch (...) {
      saved_.reset();
    }
  }
  Silence();
}

bool TSpeakerMute::IfNotMuted(const std::function<void()>& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ > 0) return false;
  call();
  return true;
}

int TSpeakerMute::Depth() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return depth_;
}

}  // namespace wavecrate
