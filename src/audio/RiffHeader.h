// The RIFF WAVE layout of every file the WAV writer produces, and the byte
// bookkeeping of the writer, free of any media framework.
//
// Layout (all integers 32-bit unsigned little-endian, F = format block
// length, D = payload bytes):
//   0       "RIFF"
//   4       20 + F + D
//   8       "WAVE"
//   12      "fmt "
//   16      F
//   20      the format block, byte for byte (no pad byte after an odd F)
//   20 + F  "data"
//   24 + F  D
//   28 + F  the payload
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace wavecrate {

using TBytes = std::vector<std::uint8_t>;

// Bytes the header adds to the format block.
inline constexpr std::uint32_t kRiffHeaderOverhead = 28;
// The largest file a RIFF size field can describe.
inline constexpr std::uint64_t kRiffMaxFileBytes = 0xFFFFFFFFull;
// Size value written while a recording is still running. Readers take it as
// "up to the end of the file", so a file cut off by a crash or power loss
// still plays up to the last byte that reached the disk.
inline constexpr std::uint32_t kRiffOpenEndedSize = 0xFFFFFFFFu;

// Format tags of the blocks we build.
inline constexpr std::uint16_t kWaveFormatPcm = 0x0001;
inline constexpr std::uint16_t kWaveFormatIeeeFloat = 0x0003;
inline constexpr std::uint16_t kWaveFormatMpegLayer3 = 0x0055;

// Length of a plain WAVEFORMATEX block (cbSize = 0) and of an
// MPEGLAYER3WAVEFORMAT block.
inline constexpr std::size_t kWaveFormatExBytes = 18;
inline constexpr std::size_t kMpegLayer3FormatBytes = 30;

// F + 28.
std::uint32_t HeaderBytesFor(std::size_t formatBlockBytes);

// The complete header for the given format block and payload size. The two
// size fields are wrapped to 32 bits exactly as the writer's own unsigned
// arithmetic would; callers keep files below the 4 GiB limit.
TBytes BuildRiffHeader(std::span<const std::uint8_t> formatBlock, std::uint32_t dataBytes);

// The header written at the start of a recording: both size fields hold
// kRiffOpenEndedSize.
TBytes BuildProvisionalRiffHeader(std::span<const std::uint8_t> formatBlock);

// A WAVEFORMATEX block for integer PCM (tag 1) or IEEE float (tag 3), 18
// bytes with cbSize 0.
TBytes MakePcmFormatBlock(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bitsPerSample,
                          bool isFloat = false);

// An MPEGLAYER3WAVEFORMAT block (tag 0x0055, 30 bytes) for an MPEG audio
// layer 3 stream: rate in Hz, channels, bitrate in bits per second (0 when
// not known). nBlockSize is the length of an unpadded frame at that bitrate.
TBytes MakeMpegLayer3FormatBlock(std::uint32_t sampleRate, std::uint16_t channels, std::uint32_t bitrate);

// Makes the two size fields of the RIFF WAVE file at `path` tell the bytes
// actually in it: the file was cut short (the disk filled up) and still has
// the provisional header, or sizes that no longer match. The header is
// overwritten in place, so it needs no free space. Returns the payload bytes
// the header now gives; nothing when the file is not one of ours or is too
// short to hold its header (left as it is).
std::optional<std::uint32_t> PatchRiffSizesInFile(const std::string& path);

// What an MPEG audio frame header (the four bytes at a frame's start) says.
struct TMpegFrameInfo {
  int Version = 1;  // 1 for MPEG-1; 2 for MPEG-2 and MPEG-2.5
  int Layer = 3;
  std::uint32_t Bitrate = 0;  // bits per second
  std::uint32_t SampleRate = 0;
  std::uint16_t Channels = 0;
  std::uint32_t SamplesPerFrame = 0;
  std::uint32_t FrameBytes = 0;  // including the padding slot
};
// Parses a frame header; nothing when the bytes are not one (no sync word,
// reserved values, free-format bitrate).
std::optional<TMpegFrameInfo> ParseMpegFrameHeader(std::span<const std::uint8_t> bytes);

// The WAV writer's byte bookkeeping: where each payload block goes in the
// file, how much payload there is, and the 4 GiB guard.
class TRiffByteCounter {
 public:
  // Start of streaming: HeaderBytes = F + 28, DataBytes = 0. maxFileBytes is
  // the largest file allowed (the RIFF limit unless a smaller one is wanted).
  void Start(std::size_t formatBlockBytes, std::uint64_t maxFileBytes = kRiffMaxFileBytes);

  // Claims room for a block of `bytes` payload bytes. Returns the file offset
  // at which it goes, or nothing (and changes nothing) when the file would
  // grow past the limit.
  std::optional<std::uint32_t> Claim(std::uint32_t bytes);
  // Puts DataBytes back to a value remembered before a Claim whose block
  // was not taken downstream.
  void Restore(std::uint32_t dataBytes) { DataBytes = dataBytes; }

  std::uint32_t DataBytes = 0;
  std::uint32_t HeaderBytes = 0;

 private:
  std::uint64_t maxFileBytes_ = kRiffMaxFileBytes;
};

}  // namespace wavecrate
