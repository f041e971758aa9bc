// What the MP3 encoder makes of its settings: the sample rate, channels and
// bitrate a file will really have, and, where the encoder cannot make what
// was chosen, why, in words the quality dialog shows.
//
// Layer III streams come in three families of sample rates, each with its
// own bitrates: 32, 44.1 and 48 kHz carry 32 to 320 kbit/s; 16, 22.05 and
// 24 kHz carry 8 to 160; 8, 11.025 and 12 kHz carry 8 to 64. libmp3lame
// brings a constant or average bitrate outside its rate's range to the
// nearest end of it. The channel mode has no such limit: mono and joint
// stereo go with every rate and bitrate.
#pragma once

#include <string>

#include "audio/EncoderSettings.h"

namespace wavecrate {

// The rate the capture hands the encoder (Hz).
inline constexpr int kCaptureSampleRate = 44100;

struct TMp3Plan {
  int SampleRate = kCaptureSampleRate;  // Hz of the file
  int Channels = 2;
  // kbit/s: every frame's under CBR, the average aimed at under ABR; 0 under
  // VBR (the quality decides).
  int Bitrate = 0;
  // "" when the file holds what was chosen; otherwise what differs and why.
  std::string Warning;
};

// The lowest and highest bitrate (kbit/s) a stream at `sampleRate` can have.
int MinBitrateFor(int sampleRate);

// The file's rate for `settings` when the input runs at `inputRate`: the
// chosen one, or for "the input's rate" (0) the input's own when a stream can
// have it, else the nearest one that can.
int Mp3SampleRateFor(const TEncoderSettings& settings, int inputRate);

// What the encoder makes of `settings` (brought into range first) with input
// at `inputRate`.
TMp3Plan PlanMp3(const TEncoderSettings& settings, int inputRate = kCaptureSampleRate);

}  // namespace wavecrate
