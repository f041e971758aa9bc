#include "support/audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace wavecrate::test {

std::vector<float> TPcm::Channel(int channel, std::size_t from, std::size_t count) const {
  std::vector<float> out;
  const std::size_t frames = Frames();
  if (from >= frames || channel < 0 || channel >= Channels) return out;
  const std::size_t end = count > frames - from ? frames : from + count;
  out.reserve(end - from);
  for (std::size_t f = from; f < end; ++f) {
    out.push_back(static_cast<float>(Samples[f * static_cast<std::size_t>(Channels) + channel]) / 32768.0f);
  }
  return out;
}

double Rms(const std::vector<float>& signal) {
  if (signal.empty()) return 0.0;
  double sum = 0;
  for (float s : signal) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(signal.size()));
}

double ToneAmplitude(const std::vector<float>& signal, int rate, double hz) {
  if (signal.empty()) return 0.0;
  const double w = 2.0 * std::numbers::pi * hz / rate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float x : signal) {
    const double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2);
  return 2.0 * std::sqrt(power) / static_cast<double>(signal.size());
}

double DominantFrequency(const std::vector<float>& signal, int rate, double loHz, double hiHz,
                         double stepHz) {
  double best = 0, bestPower = -1;
  for (double f = loHz; f <= hiHz; f += stepHz) {
    const double w = 2.0 * std::numbers::pi * f / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (float x : signal) {
      const double s0 = x + coeff * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = f;
    }
  }
  return best;
}

std::vector<double> WindowedRms(const TPcm& pcm, std::size_t windowFrames) {
  std::vector<double> out;
  if (windowFrames == 0) return out;
  for (std::size_t from = 0; from + windowFrames <= pcm.Frames(); from += windowFrames) {
    out.push_back(Rms(pcm.Channel(0, from, windowFrames)));
  }
  return out;
}

}  // namespace wavecrate::test
