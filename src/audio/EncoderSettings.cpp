#include "audio/EncoderSettings.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "common/Files.h"
#include "common/ProgramFolders.h"

namespace wavecrate {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool ParseInt(const std::string& text, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || v < -1000000 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

template <std::size_t N>
int Nearest(const int (&allowed)[N], int value) {
  int best = allowed[0];
  for (int a : allowed)
    if (std::abs(a - value) < std::abs(best - value)) best = a;
  return best;
}

}  // namespace

const char* RateControlName(TRateControl r) {
  switch (r) {
    case TRateControl::Cbr:
      return "CBR";
    case TRateControl::Abr:
      return "ABR";
    case TRateControl::Vbr:
      return "VBR";
  }
  return "CBR";
}

const char* ChannelModeName(TChannelMode m) {
  return m == TChannelMode::Mono ? "Mono" : "JointStereo";
}

TEncoderSettings Normalized(TEncoderSettings s) {
  if (s.RateControl == TRateControl::Cbr) {
    s.Bitrate = Nearest(kMp3Bitrates, s.Bitrate);
  } else {
    s.Bitrate = std::clamp(s.Bitrate, 8, 320);
  }
  s.VbrQuality = std::clamp(s.VbrQuality, 0, 9);
  if (s.SampleRate != 0) s.SampleRate = Nearest(kMp3SampleRates, s.SampleRate);
  return s;
}

int MaxBitrateFor(int sampleRate) {
  if (sampleRate == 0 || sampleRate >= 32000) return 320;
  return sampleRate >= 16000 ? 160 : 64;
}

std::string DefaultEncoderSettingsPath() {
  return ProgramFolders().InConfig("mp3encoder.ini");
}

TEncoderSettings LoadEncoderSettings(const std::string& path) {
  TEncoderSettings s;
  std::ifstream in(path);
  if (!in) return s;
  std::string line;
  bool inSection = true;  // keys before any section header count as ours too
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      inSection = Lower(line) == "[encoder]";
      continue;
    }
    if (!inSection) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Lower(Trim(line.substr(0, eq)));
    const std::string value = Trim(line.substr(eq + 1));
    const std::string lv = Lower(value);
    int n = 0;
    if (key == "ratecontrol") {
      if (lv == "cbr") s.RateControl = TRateControl::Cbr;
      if (lv == "abr") s.RateControl = TRateControl::Abr;
      if (lv == "vbr") s.RateControl = TRateControl::Vbr;
    } else if (key == "bitrate" && ParseInt(value, n)) {
      s.Bitrate = n;
    } else if (key == "vbrquality" && ParseInt(value, n)) {
      s.VbrQuality = n;
    } else if (key == "mode") {
      if (lv == "jointstereo" || lv == "stereo") s.Mode = TChannelMode::JointStereo;
      if (lv == "mono") s.Mode = TChannelMode::Mono;
    } else if (key == "samplerate" && ParseInt(value, n)) {
      s.SampleRate = n;
    }
  }
  return Normalized(s);
}

TEncoderSettings LoadEncoderSettings() {
  return LoadEncoderSettings(DefaultEncoderSettingsPath());
}

bool SaveEncoderSettings(const std::string& path, const TEncoderSettings& settings) {
  const TEncoderSettings s = Normalized(settings);
  std::ostringstream text;
  text << "[Encoder]\n"
       << "RateControl=" << RateControlName(s.RateControl) << "\n"
       << "Bitrate=" << s.Bitrate << "\n"
       << "VbrQuality=" << s.VbrQuality << "\n"
       << "Mode=" << ChannelModeName(s.Mode) << "\n"
       << "SampleRate=" << s.SampleRate << "\n";
  try {
    WriteFileAtomically(path, text.str());
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace wavecrate
