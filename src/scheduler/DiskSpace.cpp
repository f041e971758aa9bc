#include "scheduler/DiskSpace.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace wavecrate {
namespace {

constexpr std::uint64_t kMegabyte = 1000 * 1000;
constexpr std::uint64_t kMarginBytes = 20 * kMegabyte;

std::string Megabytes(std::uint64_t bytes, bool roundUp) {
  return std::to_string(roundUp ? (bytes + kMegabyte - 1) / kMegabyte : bytes / kMegabyte) + " MB";
}

}  // namespace

int WorstCaseKbps(const TEncoderSettings& encoder) {
  if (encoder.RateControl != TRateControl::Vbr) return encoder.Bitrate;
  const bool mpeg2 = encoder.SampleRate > 0 && encoder.SampleRate < 32000;
  return mpeg2 ? 160 : 320;
}

std::uint64_t RecordingBytesNeeded(const TEncoderSettings& encoder, std::int64_t seconds, bool secondCopy) {
  const std::uint64_t length = seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
  const std::uint64_t kbps = static_cast<std::uint64_t>(std::max(WorstCaseKbps(encoder), 0));
  const std::uint64_t file = kbps * 1000 / 8 * length;
  const std::uint64_t copies = secondCopy ? 2 : 1;
  return file * copies + file / 20 + kMarginBytes;
}

std::optional<std::uint64_t> FreeBytesIn(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::space_info info = std::filesystem::space(folder.empty() ? "." : folder, ec);
  if (ec) return std::nullopt;
  return static_cast<std::uint64_t>(info.available);
}

std::optional<std::string> LowDiskWarning(const std::string& folder, const std::string& showName,
                                          std::uint64_t needed, std::uint64_t available) {
  if (available >= needed) return std::nullopt;
  return "Only " + Megabytes(available, false) + " is free on the disk of " + folder + ", and \"" + showName +
         "\" needs about " + Megabytes(needed, true) +
         ". It is being recorded anyway, but the recording will stop early if the disk fills up.";
}

}  // namespace wavecrate
