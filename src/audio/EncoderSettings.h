// The MP3 encoder's own settings: a small file of its own beside the
// executable (not the program's settings file), read every time an encoder is
// made, so a change in the "MP3 encoding config" dialog takes effect with the
// next recording.
//
// File format (key=value lines under [Encoder]; unknown keys and lines are
// ignored, a missing or unreadable value keeps its default):
//   [Encoder]
//   RateControl=CBR        CBR, ABR (average bitrate) or VBR (quality target)
//   Bitrate=128            kbit/s for CBR and ABR
//   VbrQuality=4           0 (best) .. 9 for VBR
//   Mode=JointStereo       JointStereo, Mono
//   SampleRate=44100       output rate in Hz, 0 = the input's rate
#pragma once

#include <string>

namespace wavecrate {

enum class TRateControl { Cbr, Abr, Vbr };
// LAME picks joint or simple stereo per frame by itself; Mono mixes down.
enum class TChannelMode { JointStereo, Mono };

struct TEncoderSettings {
  TRateControl RateControl = TRateControl::Cbr;
  int Bitrate = 128;  // kbit/s
  int VbrQuality = 4;
  TChannelMode Mode = TChannelMode::JointStereo;
  int SampleRate = 44100;  // Hz; 0 keeps the input's rate

  bool operator==(const TEncoderSettings&) const = default;
};

// The bitrates a CBR MPEG-1 layer III stream can have (kbit/s), ascending.
inline constexpr int kMp3Bitrates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
// The output rates offered (Hz).
inline constexpr int kMp3SampleRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// The highest bitrate (kbit/s) a layer III stream can carry at `sampleRate`:
// MPEG-1 rates (32 kHz and up) reach 320, MPEG-2 rates (16 to 24 kHz) 160,
// MPEG-2.5 rates (up to 12 kHz) 64. The encoder lowers a higher bitrate to
// this. 0 (the input's rate, not known here) gives 320.
int MaxBitrateFor(int sampleRate);

// "mp3encoder.ini" in the program's settings folder (ProgramFolders).
std::string DefaultEncoderSettingsPath();

// Reads the file; defaults for a missing file or values, and out-of-range
// values brought to the nearest allowed one.
TEncoderSettings LoadEncoderSettings(const std::string& path);
TEncoderSettings LoadEncoderSettings();  // from DefaultEncoderSettingsPath()

// Writes through a temporary file renamed over the old one, so a failed write
// leaves the previous settings. False when it could not be written.
bool SaveEncoderSettings(const std::string& path, const TEncoderSettings& settings);

// Brings every field into its allowed range.
TEncoderSettings Normalized(TEncoderSettings settings);

const char* RateControlName(TRateControl r);
const char* ChannelModeName(TChannelMode m);

}  // namespace wavecrate
