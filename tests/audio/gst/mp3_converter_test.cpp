// The conversion graph on real files made by ffmpeg.
#include "audio/gst/Mp3Converter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "audio/RiffHeader.h"
#include "audio/gst/ReadAheadFileSrc.h"
#include "audio/gst/audio_gst_check.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::LeU16;
using test::LeU32;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Runs ffmpeg with the given arguments to make a test source.
void Make(const std::string& args) {
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -y " + args + " 2>&1", nullptr), 0) << args;
}

std::string Sine(double freq, double seconds) {
  return "-f lavfi -i 'sine=frequency=" + std::to_string(freq) +
         ":sample_rate=44100:duration=" + std::to_string(seconds) + "'";
}

// The converted file is MP3 in RIFF with an exact header, and it decodes to
// the tone that went in, for the length that went in.
void ExpectConverted(const std::string& path, double seconds, double freq) {
  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(LeU32(file, 4), file.size() - 8);
  EXPECT_EQ(LeU16(file, 20), kWaveFormatMpegLayer3);
  EXPECT_EQ(LeU32(file, 54), file.size() - 58);
  for (const test::TDecoded& d : {test::DecodeWithGst(path), test::DecodeWithFfmpeg(path)}) {
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_NEAR(d.Seconds(), seconds, 0.1);
    EXPECT_NEAR(test::DominantFrequency(d.Samples, d.Samples.size() / 2), freq, 10);
    EXPECT_GT(test::Rms(d.Samples, d.Samples.size() / 2, 4410), 0.05);
  }
}

TGstMp3Converter::TOptions Cbr128() {
  TGstMp3Converter::TOptions o;
  o.Encoder = TEncoderSettings{};
  return o;
}

TEST(Mp3Converter, ConvertsAPcmAvi) {
  TempDir dir;
  const std::string src = dir.File("TempOutput.avi"), dst = dir.File("Show.mp3.bak");
  Make(Sine(440, 4) + " -ac 2 -c:a pcm_s16le " + src);
  TGstMp3Converter converter(Cbr128());
  ASSERT_TRUE(converter.ConvertToMp3(src, dst)) << converter.LastError();
  ExpectConverted(dst, 4.0, 440);
  EXPECT_EQ(LeU32(ReadFile(dst), 28), 16000u);  // 128 kbit/s from the settings
}

TEST(Mp3Converter, ConvertsAnMp3AndDiscardsVideo) {
  TempDir dir;
  const std::string mp3 = dir.File("in.mp3"), avi = dir.File("clip.avi");
  Make(Sine(1000, 3) + " -c:a libmp3lame -b:a 96k " + mp3);
  Make("-f lavfi -i testsrc=size=64x48:rate=5:duration=3 " + Sine(660, 3) + " -c:v mjpeg -c:a pcm_s16le " +
       avi);
  TGstMp3Converter converter(Cbr128());
  ASSERT_TRUE(converter.ConvertToMp3(mp3, dir.File("a.mp3"))) << converter.LastError();
  ExpectConverted(dir.File("a.mp3"), 3.0, 1000);
  ASSERT_TRUE(converter.ConvertToMp3(avi, dir.File("b.mp3"))) << converter.LastError();
  ExpectConverted(dir.File("b.mp3"), 3.0, 660);
}

// Compressed audio takes a decoder of its own and is resampled to the
// settings' rate; of several audio streams the first is converted, every
// time (streams are ordered by names the demuxer derives from the source's
// URI; a source without one made the order random).
TEST(Mp3Converter, CompressedAndMultiStreamSourcesKeepLengthRateAndTheFirstAudio) {
  TempDir dir;
  const std::string aac = dir.File("in.m4a"), four = dir.File("four.mkv");
  Make(Sine(500, 3) + " -ar 48000 -c:a aac " + aac);
  Make(Sine(440, 3) + " " + Sine(550, 3) + " " + Sine(660, 3) + " " + Sine(880, 3) +
       " -map 0 -map 1 -map 2 -map 3 -c:a aac " + four);
  TGstMp3Converter converter(Cbr128());
  ASSERT_TRUE(converter.ConvertToMp3(aac, dir.File("a.mp3"))) << converter.LastError();
  ExpectConverted(dir.File("a.mp3"), 3.0, 500);
  EXPECT_EQ(LeU32(ReadFile(dir.File("a.mp3")), 24), 44100u);
  ASSERT_TRUE(converter.ConvertToMp3(four, dir.File("b.mp3"))) << converter.LastError();
  ExpectConverted(dir.File("b.mp3"), 3.0, 440);
  for (int run = 0; run < 3; ++run) {
    ASSERT_TRUE(converter.ConvertToMp3(four, dir.File("b.mp3"))) << converter.LastError();
    const test::TDecoded d = test::DecodeWithGst(dir.File("b.mp3"));
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_NEAR(test::DominantFrequency(d.Samples, d.Samples.size() / 2), 440, 10) << "run " << run;
  }
}

// The converter's file source hands out exactly the file's bytes, whether a
// request lies in its window, straddles the window's end, jumps back, or
// runs past the end of the file.
TEST(ReadAheadFileSrc, PullsGiveTheFileBytesAcrossWindowsJumpsAndTheEnd) {
  TempDir dir;
  const std::string path = dir.File("data.bin");
  std::string bytes(kReadAheadWindowBytes * 5 / 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  WriteFile(path, bytes);
  TGstPtr<GstElement> src = CreateReadAheadFileSrc(path);
  ASSERT_TRUE(src);
  TGstPtr<GstPad> pad = AdoptGst(gst_element_get_static_pad(src.get(), "src"));
  ASSERT_TRUE(gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, TRUE));
  const std::size_t w = kReadAheadWindowBytes, n = bytes.size();
  const std::pair<std::size_t, std::size_t> asks[] = {{0, 4096},    {w - 100, 300}, {w + 5, 4096},
                                                      {12345, 777}, {2 * w + 7, w}, {n - 10, 100}};
  for (auto [offset, length] : asks) {
    SCOPED_TRACE(offset);
    GstBuffer* buffer = nullptr;
    ASSERT_EQ(gst_pad_get_range(pad.get(), offset, static_cast<guint>(length), &buffer), GST_FLOW_OK);
    TGstPtr<GstBuffer> got = AdoptGst(buffer);
    std::string data(gst_buffer_get_size(buffer), '\0');
    gst_buffer_extract(buffer, 0, data.data(), data.size());
    EXPECT_EQ(data, bytes.substr(offset, length));
  }
  GstBuffer* past = nullptr;
  EXPECT_EQ(gst_pad_get_range(pad.get(), n, 10, &past), GST_FLOW_EOS);
  gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, FALSE);
}

TEST(Mp3Converter, EncoderSettingsReachTheFile) {
  TempDir dir;
  const std::string src = dir.File("in.wav");
  Make(Sine(440, 2) + " -ac 2 " + src);
  TGstMp3Converter::TOptions o;
  o.Encoder = TEncoderSettings{};
  o.Encoder->Bitrate = 64;
  o.Encoder->Mode = TChannelMode::Mono;
  o.Encoder->SampleRate = 22050;
  TGstMp3Converter converter(o);
  ASSERT_TRUE(converter.ConvertToMp3(src, dir.File("out.mp3"))) << converter.LastError();
  const std::string file = ReadFile(dir.File("out.mp3"));
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(LeU16(file, 22), 1);       // channels
  EXPECT_EQ(LeU32(file, 24), 22050u);  // rate
  EXPECT_EQ(LeU32(file, 28), 8000u);   // 64 kbit/s
  EXPECT_EQ(LeU16(file, 44), 208);     // nBlockSize of an MPEG-2 frame
  ExpectConverted(dir.File("out.mp3"), 2.0, 440);
}

TEST(Mp3Converter, FailsFastAndLeavesNoTargetForWhatIsNotAudio) {
  TempDir dir;
  const std::string target = dir.File("out.mp3");
  WriteFile(dir.File("text.avi"), std::string(100000, 'x'));
  Make("-f lavfi -i testsrc=size=64x48:rate=5:duration=2 -c:v mjpeg " + dir.File("video.avi"));
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  TGstMp3Converter::TOptions o = Cbr128();
  o.StallTimeout = 60s;  // each case must end on its own, long before this
  TGstMp3Converter converter(o);
  for (const char* name : {"text.avi", "missing.avi", "video.avi", "fifo"}) {
    SCOPED_TRACE(name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(converter.ConvertToMp3(dir.File(name), target));
    EXPECT_FALSE(converter.LastError().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(std::filesystem::exists(target));
  }
}

TEST(Mp3Converter, CancelOrTimeLimitEndsAConversionAndRemovesThePartialTarget) {
  TempDir dir;
  const std::string src = dir.File("long.wav"), target = dir.File("out.mp3");
  Make(Sine(440, 600) + " -ac 2 " + src);  // ten minutes: far longer than the test waits
  TGstMp3Converter converter(Cbr128());
  std::atomic<bool> cancel{false};
  std::thread stopper([&] {
    test::WaitUntil(
        [&] { return std::filesystem::exists(target) && std::filesystem::file_size(target) > 10000; }, 20s);
    cancel = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(converter.ConvertToMp3(src, target, cancel));
  stopper.join();
  EXPECT_EQ(converter.LastError(), "cancelled");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 25s);
  EXPECT_FALSE(std::filesystem::exists(target));

  // A conversion that runs past its time limit ends the same way.
  TGstMp3Converter::TOptions limited = Cbr128();
  limited.MaxDuration = 500ms;
  TGstMp3Converter bounded(limited);
  EXPECT_FALSE(bounded.ConvertToMp3(src, target));
  EXPECT_EQ(bounded.LastError(), "the conversion took too long");
  EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
}  // namespace wavecrate
