#include "audio/RiffHeader.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace wavecrate {
namespace {

void PutU16(TBytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutU32(TBytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
}

void PutFourCC(TBytes& out, const char (&code)[5]) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(code[i]));
}

TBytes BuildHeader(std::span<const std::uint8_t> formatBlock, std::uint32_t riffSize,
                   std::uint32_t dataSize) {
  const auto f = static_cast<std::uint32_t>(formatBlock.size());
  TBytes h;
  h.reserve(formatBlock.size() + kRiffHeaderOverhead);
  PutFourCC(h, "RIFF");
  PutU32(h, riffSize);
  PutFourCC(h, "WAVE");
  PutFourCC(h, "fmt ");
  PutU32(h, f);
  h.insert(h.end(), formatBlock.begin(), formatBlock.end());
  PutFourCC(h, "data");
  PutU32(h, dataSize);
  return h;
}

}  // namespace

std::uint32_t HeaderBytesFor(std::size_t formatBlockBytes) {
  return static_cast<std::uint32_t>(formatBlockBytes) + kRiffHeaderOverhead;
}

TBytes BuildRiffHeader(std::span<const std::uint8_t> formatBlock, std::uint32_t dataBytes) {
  // D + HeaderBytes - 8 = 20 + F + D, in the writer's 32-bit arithmetic.
  const std::uint32_t riffSize = dataBytes + HeaderBytesFor(formatBlock.size()) - 8u;
  return BuildHeader(formatBlock, riffSize, dataBytes);
}

TBytes BuildProvisionalRiffHeader(std::span<const std::uint8_t> formatBlock) {
  return BuildHeader(formatBlock, kRiffOpenEndedSize, kRiffOpenEndedSize);
}

TBytes MakePcmFormatBlock(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bitsPerSample,
                          bool isFloat) {
  const auto blockAlign = static_cast<std::uint16_t>(channels * ((bitsPerSample + 7) / 8));
  TBytes b;
  b.reserve(kWaveFormatExBytes);
  PutU16(b, isFloat ? kWaveFormatIeeeFloat : kWaveFormatPcm);
  PutU16(b, channels);
  PutU32(b, sampleRate);
  PutU32(b, sampleRate * blockAlign);
  PutU16(b, blockAlign);
  PutU16(b, bitsPerSample);
  PutU16(b, 0);  // cbSize
  return b;
}

TBytes MakeMpegLayer3FormatBlock(std::uint32_t sampleRate, std::uint16_t channels, std::uint32_t bitrate) {
  // MPEG-1 frames carry 1152 samples, MPEG-2/2.5 frames 576; an unpadded
  // frame is samples/8 * bitrate / rate bytes.
  const std::uint32_t samplesPerFrame = sampleRate >= 32000 ? 1152 : 576;
  const std::uint32_t blockSize =
      sampleRate ? static_cast<std::uint32_t>(std::uint64_t{samplesPerFrame} / 8 * bitrate / sampleRate) : 0;
  TBytes b;
  b.reserve(kMpegLayer3FormatBytes);
  PutU16(b, kWaveFormatMpegLayer3);
  PutU16(b, channels);
  PutU32(b, sampleRate);
  PutU32(b, bitrate / 8);  // nAvgBytesPerSec
  PutU16(b, 1);            // nBlockAlign
  PutU16(b, 0);            // wBitsPerSample
  PutU16(b, 12);           // cbSize: the five fields below
  PutU16(b, 1);            // wID: MPEGLAYER3_ID_MPEG
  PutU32(b, 2);            // fdwFlags: MPEGLAYER3_FLAG_PADDING_OFF
  PutU16(b, static_cast<std::uint16_t>(blockSize));
  PutU16(b, 1);  // nFramesPerBlock
  PutU16(b, 0);  // nCodecDelay
  return b;
}

std::optional<TMpegFrameInfo> ParseMpegFrameHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const std::uint32_t h = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                          (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  if ((h & 0xFFE00000u) != 0xFFE00000u) return std::nullopt;
  const unsigned versionBits = (h >> 19) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  const unsigned layerBits = (h >> 17) & 3;    // 1: III, 2: II, 3: I
  const unsigned bitrateIndex = (h >> 12) & 15;
  const unsigned rateIndex = (h >> 10) & 3;
  const unsigned padding = (h >> 9) & 1;
  const unsigned channelMode = (h >> 6) & 3;
  if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return std::nullopt;

  static constexpr std::array<std::array<std::uint16_t, 15>, 3> kMpeg1{{
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // layer III
  }};
  static constexpr std::array<std::array<std::uint16_t, 15>, 2> kMpeg2{{
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},  // layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},       // layers II, III
  }};
  static constexpr std::array<std::uint32_t, 3> kRates{44100, 48000, 32000};

  TMpegFrameInfo info;
  info.Version = versionBits == 3 ? 1 : 2;
  info.Layer = 4 - static_cast<int>(layerBits);
  const unsigned kbps = info.Version == 1 ? kMpeg1[static_cast<std::size_t>(info.Layer - 1)][bitrateIndex]
                                          : kMpeg2[info.Layer == 1 ? 0 : 1][bitrateIndex];
  info.Bitrate = kbps * 1000u;
  info.SampleRate = kRates[rateIndex];
  if (versionBits == 2) info.SampleRate /= 2;  // MPEG-2
  if (versionBits == 0) info.SampleRate /= 4;  // MPEG-2.5
  info.Channels = channelMode == 3 ? 1 : 2;
  if (info.Layer == 1) {
    info.SamplesPerFrame = 384;
    info.FrameBytes = (12 * info.Bitrate / info.SampleRate + padding) * 4;
  } else {
    info.SamplesPerFrame = (info.Layer == 3 && info.Version != 1) ? 576 : 1152;
    info.FrameBytes = info.SamplesPerFrame / 8 * info.Bitrate / info.SampleRate + padding;
  }
  return info;
}

void TRiffByteCounter::Start(std::size_t formatBlockBytes, std::uint64_t maxFileBytes) {
  HeaderBytes = HeaderBytesFor(formatBlockBytes);
  DataBytes = 0;
  maxFileBytes_ = maxFileBytes < kRiffMaxFileBytes ? maxFileBytes : kRiffMaxFileBytes;
}

std::optional<std::uint32_t> TRiffByteCounter::Claim(std::uint32_t bytes) {
  const std::uint64_t position = std::uint64_t{DataBytes} + HeaderBytes;
  const std::uint64_t end = position + bytes;
  if (position > kRiffMaxFileBytes || end > maxFileBytes_) return std::nullopt;
  DataBytes += bytes;
  return static_cast<std::uint32_t>(position);
}

std::optional<std::uint32_t> PatchRiffSizesInFile(const std::string& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) return std::nullopt;
  std::array<char, 20> head{};
  if (!file.read(head.data(), head.size())) return std::nullopt;
  auto u32 = [](const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(p[i]);
    return v;
  };
  if (std::string(head.data(), 4) != "RIFF" || std::string(head.data() + 8, 8) != "WAVEfmt ")
    return std::nullopt;
  const std::uint64_t format = u32(head.data() + 16);
  const std::uint64_t headerBytes = format + kRiffHeaderOverhead;
  std::array<char, 4> data{};
  if (!file.seekg(static_cast<std::streamoff>(20 + format)) || !file.read(data.data(), data.size()) ||
      std::string(data.data(), 4) != "data") {
    return std::nullopt;
  }
  file.seekg(0, std::ios::end);
  const auto size = static_cast<std::uint64_t>(static_cast<std::streamoff>(file.tellg()));
  if (size < headerBytes) return std::nullopt;
  const auto payload = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(size - headerBytes, kRiffMaxFileBytes - headerBytes));
  const std::uint32_t riffSize = payload + static_cast<std::uint32_t>(headerBytes) - 8u;
  auto put = [&](std::uint64_t at, std::uint32_t v) {
    std::array<char, 4> b{};
    for (int i = 0; i < 4; ++i) b[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(b.data(), b.size());
  };
  file.clear();
  put(4, riffSize);
  put(24 + format, payload);
  file.flush();
  if (!file) return std::nullopt;
  return payload;
}

}  // namespace wavecrate
