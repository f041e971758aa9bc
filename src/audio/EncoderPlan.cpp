#include "audio/EncoderPlan.h"

#include <algorithm>
#include <cstdlib>

namespace wavecrate {
namespace {

// "22,050 Hz": the dialog lists rates with their digits grouped the same way.
std::string HzText(int hz) {
  const std::string digits = std::to_string(hz);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text + " Hz";
}

}  // namespace

int MinBitrateFor(int sampleRate) {
  return sampleRate == 0 || sampleRate >= 32000 ? 32 : 8;
}

int Mp3SampleRateFor(const TEncoderSettings& settings, int inputRate) {
  const int wanted = Normalized(settings).SampleRate;
  if (wanted != 0) return wanted;
  int best = kMp3SampleRates[0];
  for (int rate : kMp3SampleRates)
    if (std::abs(rate - inputRate) < std::abs(best - inputRate)) best = rate;
  return best;
}

TMp3Plan PlanMp3(const TEncoderSettings& raw, int inputRate) {
  const TEncoderSettings s = Normalized(raw);
  TMp3Plan plan;
  plan.SampleRate = Mp3SampleRateFor(s, inputRate);
  plan.Channels = s.Mode == TChannelMode::Mono ? 1 : 2;
  if (s.SampleRate == 0 && plan.SampleRate != inputRate) {
    plan.Warning = "An MP3 file cannot have the source's " + HzText(inputRate) + ": it will have " +
                   HzText(plan.SampleRate) + ".";
  }
  if (s.RateControl == TRateControl::Vbr) return plan;
  const int low = MinBitrateFor(plan.SampleRate);
  const int high = MaxBitrateFor(plan.SampleRate);
  plan.Bitrate = std::clamp(s.Bitrate, low, high);
  if (plan.Bitrate != s.Bitrate) {
    if (!plan.Warning.empty()) plan.Warning += " ";
    plan.Warning += "At " + HzText(plan.SampleRate) + " an MP3 file holds " +
                    (s.Bitrate > high ? "at most " : "at least ") + std::to_string(plan.Bitrate) +
                    " kbit/s: it will have " + std::to_string(plan.Bitrate) + " kbit/s, not " +
                    std::to_string(s.Bitrate) + ".";
  }
  return plan;
}

}  // namespace wavecrate
