#include "audio/RiffHeader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>

namespace wavecrate {
namespace {

std::uint32_t U32At(const TBytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | (std::uint32_t{b[at + 1]} << 8) | (std::uint32_t{b[at + 2]} << 16) |
         (std::uint32_t{b[at + 3]} << 24);
}
std::uint16_t U16At(const TBytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::string TextAt(const TBytes& b, std::size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

TBytes Block(std::size_t n) {
  TBytes b(n);
  std::iota(b.begin(), b.end(), std::uint8_t{0xA0});
  return b;
}

// Every format block length, even or odd, lays the header out the same way:
// no pad byte, "data" right after the block, sizes 20 + F + D and D.
TEST(RiffHeader, LayoutForFormatBlocksOfAnyLength) {
  for (std::size_t f : {std::size_t{18}, std::size_t{30}, std::size_t{21}, std::size_t{1}, std::size_t{0}}) {
    SCOPED_TRACE(f);
    const TBytes block = Block(f);
    const std::uint32_t d = 123457;
    const TBytes h = BuildRiffHeader(block, d);
    ASSERT_EQ(h.size(), f + 28);
    EXPECT_EQ(HeaderBytesFor(f), f + 28);
    EXPECT_EQ(TextAt(h, 0), "RIFF");
    EXPECT_EQ(U32At(h, 4), 20 + f + d);
    EXPECT_EQ(TextAt(h, 8), "WAVE");
    EXPECT_EQ(TextAt(h, 12), "fmt ");
    EXPECT_EQ(U32At(h, 16), f);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), h.begin() + 20));
    EXPECT_EQ(TextAt(h, 20 + f), "data");
    EXPECT_EQ(U32At(h, 24 + f), d);
  }
}

TEST(RiffHeader, EmptyPayloadAndKnownHeaderSizes) {
  const TBytes h = BuildRiffHeader(Block(18), 0);
  EXPECT_EQ(h.size(), 46u);
  EXPECT_EQ(U32At(h, 4), 38u);  // 20 + F
  EXPECT_EQ(U32At(h, 42), 0u);
  EXPECT_EQ(HeaderBytesFor(kMpegLayer3FormatBytes), 58u);
}

TEST(RiffHeader, ProvisionalHeaderIsOpenEndedWithTheSameLayout) {
  const TBytes block = MakeMpegLayer3FormatBlock(44100, 2, 128000);
  const TBytes p = BuildProvisionalRiffHeader(block);
  const TBytes exact = BuildRiffHeader(block, 1000);
  ASSERT_EQ(p.size(), exact.size());
  EXPECT_EQ(U32At(p, 4), 0xFFFFFFFFu);
  EXPECT_EQ(U32At(p, 54), 0xFFFFFFFFu);
  // Only the two size fields differ.
  TBytes a = p, b = exact;
  for (std::size_t at : {std::size_t{4}, std::size_t{54}})
    for (std::size_t i = 0; i < 4; ++i) a[at + i] = b[at + i] = 0;
  EXPECT_EQ(a, b);
}

TEST(RiffHeader, PcmBlockDescribesTheSamples) {
  const TBytes b = MakePcmFormatBlock(44100, 2, 16);
  ASSERT_EQ(b.size(), kWaveFormatExBytes);
  EXPECT_EQ(U16At(b, 0), 1);
  EXPECT_EQ(U16At(b, 2), 2);
  EXPECT_EQ(U32At(b, 4), 44100u);
  EXPECT_EQ(U32At(b, 8), 176400u);
  EXPECT_EQ(U16At(b, 12), 4);
  EXPECT_EQ(U16At(b, 14), 16);
  EXPECT_EQ(U16At(b, 16), 0);
  EXPECT_EQ(U16At(MakePcmFormatBlock(48000, 1, 32, true), 0), 3);
  EXPECT_EQ(U16At(MakePcmFormatBlock(48000, 3, 24), 12), 9);
}

TEST(RiffHeader, MpegLayer3BlockFromStreamValues) {
  const TBytes b = MakeMpegLayer3FormatBlock(44100, 2, 128000);
  ASSERT_EQ(b.size(), kMpegLayer3FormatBytes);
  EXPECT_EQ(U16At(b, 0), 0x55);
  EXPECT_EQ(U16At(b, 2), 2);
  EXPECT_EQ(U32At(b, 4), 44100u);
  EXPECT_EQ(U32At(b, 8), 16000u);
  EXPECT_EQ(U16At(b, 12), 1);
  EXPECT_EQ(U16At(b, 14), 0);
  EXPECT_EQ(U16At(b, 16), 12);
  EXPECT_EQ(U16At(b, 18), 1);
  EXPECT_EQ(U32At(b, 20), 2u);
  EXPECT_EQ(U16At(b, 24), 417);  // 1152 / 8 * 128000 / 44100
  EXPECT_EQ(U16At(b, 26), 1);
  // MPEG-2 rates carry half as many samples per frame.
  EXPECT_EQ(U16At(MakeMpegLayer3FormatBlock(22050, 1, 64000), 24), 208);
  // Unknown bitrate: no division by zero, zero sizes.
  EXPECT_EQ(U32At(MakeMpegLayer3FormatBlock(44100, 2, 0), 8), 0u);
  EXPECT_EQ(U16At(MakeMpegLayer3FormatBlock(0, 2, 128000), 24), 0);
}

TEST(RiffHeader, MpegFrameHeaders) {
  // MPEG-1 layer III, 128 kbit/s, 44100 Hz, padded, joint stereo.
  const std::uint8_t mpeg1[] = {0xFF, 0xFB, 0x92, 0x44};
  auto i = ParseMpegFrameHeader(mpeg1);
  ASSERT_TRUE(i);
  EXPECT_EQ(i->Version, 1);
  EXPECT_EQ(i->Layer, 3);
  EXPECT_EQ(i->Bitrate, 128000u);
  EXPECT_EQ(i->SampleRate, 44100u);
  EXPECT_EQ(i->Channels, 2);
  EXPECT_EQ(i->SamplesPerFrame, 1152u);
  EXPECT_EQ(i->FrameBytes, 418u);
  // MPEG-2 layer III, 64 kbit/s, 22050 Hz, mono.
  const std::uint8_t mpeg2[] = {0xFF, 0xF3, 0x80, 0xC0};
  i = ParseMpegFrameHeader(mpeg2);
  ASSERT_TRUE(i);
  EXPECT_EQ(i->Version, 2);
  EXPECT_EQ(i->Bitrate, 64000u);
  EXPECT_EQ(i->SampleRate, 22050u);
  EXPECT_EQ(i->Channels, 1);
  EXPECT_EQ(i->SamplesPerFrame, 576u);
  EXPECT_EQ(i->FrameBytes, 208u);

  const std::uint8_t noSync[] = {0xFF, 0x0B, 0x92, 0x44};
  const std::uint8_t badBitrate[] = {0xFF, 0xFB, 0xF2, 0x44};
  const std::uint8_t freeFormat[] = {0xFF, 0xFB, 0x02, 0x44};
  const std::uint8_t badRate[] = {0xFF, 0xFB, 0x9C, 0x44};
  const std::uint8_t reservedVersion[] = {0xFF, 0xEB, 0x92, 0x44};
  EXPECT_FALSE(ParseMpegFrameHeader(noSync));
  EXPECT_FALSE(ParseMpegFrameHeader(badBitrate));
  EXPECT_FALSE(ParseMpegFrameHeader(freeFormat));
  EXPECT_FALSE(ParseMpegFrameHeader(badRate));
  EXPECT_FALSE(ParseMpegFrameHeader(reservedVersion));
  EXPECT_FALSE(ParseMpegFrameHeader(std::span<const std::uint8_t>(mpeg1, 3)));
}

TEST(RiffByteCounter, LaysBlocksEndToEndAfterTheHeader) {
  TRiffByteCounter c;
  c.Start(30);
  EXPECT_EQ(c.HeaderBytes, 58u);
  EXPECT_EQ(c.DataBytes, 0u);
  EXPECT_EQ(c.Claim(417), 58u);
  EXPECT_EQ(c.Claim(418), 58u + 417);
  EXPECT_EQ(c.DataBytes, 835u);
  // A block that was not taken downstream is not counted.
  const std::uint32_t before = c.DataBytes;
  ASSERT_TRUE(c.Claim(100));
  c.Restore(before);
  EXPECT_EQ(c.Claim(1), 58u + 835);
  // A new start forgets the old stream.
  c.Start(18);
  EXPECT_EQ(c.HeaderBytes, 46u);
  EXPECT_EQ(c.DataBytes, 0u);
}

TEST(RiffByteCounter, RefusesToGrowPastFourGibibytes) {
  TRiffByteCounter c;
  c.Start(18);
  c.DataBytes = 0xFFFFFFFFu - 46 - 10;  // 10 bytes of room left
  EXPECT_FALSE(c.Claim(11));
  EXPECT_EQ(c.DataBytes, 0xFFFFFFFFu - 56);  // unchanged
  EXPECT_EQ(c.Claim(10), 0xFFFFFFFFu - 10);  // exactly fills the last byte
  EXPECT_FALSE(c.Claim(1));
  EXPECT_EQ(c.Claim(0), 0xFFFFFFFFu);  // an empty block still fits

  // A smaller limit acts the same way.
  c.Start(18, 100);
  EXPECT_TRUE(c.Claim(54));
  EXPECT_FALSE(c.Claim(1));
  EXPECT_EQ(c.DataBytes, 54u);
}

TEST(PatchRiffSizesInFile, ACutShortFileGetsTheSizesOfWhatIsOnDiskAndOthersAreLeftAlone) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("wavecrate-patch-" + std::to_string(::getpid()))).string();
  auto write = [&](const TBytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  auto read = [&] {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  // A provisional header (an odd 31-byte format block) and 1001 payload bytes.
  const TBytes format(31, 0x55);
  TBytes file = BuildProvisionalRiffHeader(format);
  file.resize(file.size() + 1001, 0xAB);
  write(file);
  EXPECT_EQ(PatchRiffSizesInFile(path), std::optional<std::uint32_t>(1001));
  TBytes expected = BuildRiffHeader(format, 1001);
  expected.resize(expected.size() + 1001, 0xAB);
  EXPECT_EQ(read(), expected);  // only the two size fields changed

  // Header only, no payload yet.
  write(BuildProvisionalRiffHeader(format));
  EXPECT_EQ(PatchRiffSizesInFile(path), std::optional<std::uint32_t>(0));
  EXPECT_EQ(read(), BuildRiffHeader(format, 0));

  // Cut inside the header, or not a file of ours: nothing is touched.
  const TBytes whole = BuildProvisionalRiffHeader(format);
  const TBytes cut(whole.begin(), whole.end() - 6);
  write(cut);
  EXPECT_EQ(PatchRiffSizesInFile(path), std::nullopt);
  EXPECT_EQ(read(), cut);
  const TBytes other = {'I', 'D', '3', 4, 0, 0, 0,  0,  0,  0,  1,  2, 3,
                        4,   5,   6,   7, 8, 9, 10, 11, 12, 13, 14, 15};
  write(other);
  EXPECT_EQ(PatchRiffSizesInFile(path), std::nullopt);
  EXPECT_EQ(read(), other);
  std::filesystem::remove(path);
  EXPECT_EQ(PatchRiffSizesInFile(path), std::nullopt);
}

}  // namespace
}  // namespace wavecrate
