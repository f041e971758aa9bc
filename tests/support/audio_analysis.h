// Checks of recorded sound by content: level, dominant frequency, length.
// Works on interleaved 16-bit samples as a decoder hands them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wavecrate::test {

struct TPcm {
  std::vector<std::int16_t> Samples;  // interleaved
  int Rate = 44100;
  int Channels = 2;

  std::size_t Frames() const {
    return Channels > 0 ? Samples.size() / static_cast<std::size_t>(Channels) : 0;
  }
  double Seconds() const { return Rate > 0 ? static_cast<double>(Frames()) / Rate : 0.0; }
  // Frames [from, from + count) of channel `channel` as floats in [-1, 1].
  std::vector<float> Channel(int channel, std::size_t from = 0, std::size_t count = SIZE_MAX) const;
};

// Root mean square of a signal in [-1, 1] (0 for an empty one).
double Rms(const std::vector<float>& signal);
// The frequency (Hz, to `stepHz`) whose Goertzel magnitude is largest
// between loHz and hiHz.
double DominantFrequency(const std::vector<float>& signal, int rate, double loHz = 50, double hiHz = 5000,
                         double stepHz = 5);
// Amplitude (peak, in [0, 1]) of the sine at `hz` in a signal (Goertzel).
// A full-scale sine at `hz` gives about 1; one at another frequency, far
// less.
double ToneAmplitude(const std::vector<float>& signal, int rate, double hz);
// RMS over consecutive windows of `windowFrames` of channel 0.
std::vector<double> WindowedRms(const TPcm& pcm, std::size_t windowFrames);

}  // namespace wavecrate::test
