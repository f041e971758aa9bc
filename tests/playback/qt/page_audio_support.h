// What the tests of the web views share: a tone page's sound file, and
// listening to a PulseAudio source while the Qt loop runs.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate::test {

inline void Spin(std::chrono::milliseconds span) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < span.count()) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
}

// A 16-bit stereo PCM WAV file of a sine tone.
inline void WriteToneWav(const std::string& path, int hz, int seconds) {
  const int rate = 44100;
  const std::uint32_t frames = static_cast<std::uint32_t>(rate * seconds);
  const std::uint32_t data = frames * 4;
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + data);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(2);
  u32(rate);
  u32(rate * 4);
  u16(4);
  u16(16);
  out.write("data", 4);
  u32(data);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const auto s = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * hz * i / rate));
    u16(static_cast<std::uint16_t>(s));
    u16(static_cast<std::uint16_t>(s));
  }
}

// Mono 16-bit little-endian samples as floats in [-1, 1).
inline std::vector<float> ToFloats(const std::string& bytes) {
  std::vector<float> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::int16_t v;
    std::memcpy(&v, bytes.data() + 2 * i, 2);
    out[i] = static_cast<float>(v) / 32768.0f;
  }
  return out;
}

// Records a mono 44.1 kHz stretch of a PulseAudio source while the Qt loop runs.
inline std::vector<float> ListenTo(const std::string& source, std::chrono::milliseconds span,
                                   const TempDir& dir) {
  const std::string raw = dir.File("listen-" + source + ".raw");
  {
    Subprocess parec({"parec", "--device=" + source, "--format=s16le", "--rate=44100", "--channels=1",
                      "--raw", "--latency-msec=50"},
                     {}, raw);
    Spin(span);
  }
  return ToFloats(ReadFile(raw));
}

}  // namespace wavecrate::test
