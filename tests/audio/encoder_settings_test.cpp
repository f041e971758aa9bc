#include "audio/EncoderSettings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <utility>

#include "audio/EncoderPlan.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(EncoderSettings, MissingFileGivesTheDefaults) {
  TempDir dir;
  const TEncoderSettings s = LoadEncoderSettings(dir.File("none.ini"));
  EXPECT_EQ(s.RateControl, TRateControl::Cbr);
  EXPECT_EQ(s.Bitrate, 128);
  EXPECT_EQ(s.Mode, TChannelMode::JointStereo);
  EXPECT_EQ(s.SampleRate, 44100);
}

TEST(EncoderSettings, SavedSettingsReadBackAndLeaveNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.File("mp3encoder.ini");
  TEncoderSettings s;
  s.RateControl = TRateControl::Vbr;
  s.Bitrate = 192;
  s.VbrQuality = 2;
  s.Mode = TChannelMode::Mono;
  s.SampleRate = 22050;
  ASSERT_TRUE(SaveEncoderSettings(path, s));
  EXPECT_EQ(LoadEncoderSettings(path), s);
  // Nothing beside it: no temporary file is left.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
  s.RateControl = TRateControl::Abr;
  ASSERT_TRUE(SaveEncoderSettings(path, s));
  EXPECT_EQ(LoadEncoderSettings(path).RateControl, TRateControl::Abr);
}

TEST(EncoderSettings, ReadingIsTolerantAndBringsValuesIntoRange) {
  TempDir dir;
  const std::string path = dir.File("mp3encoder.ini");
  WriteFile(path,
            "; comment\r\n"
            "[Other]\r\nBitrate=8\r\n"
            "[ENCODER]\r\n"
            "  ratecontrol = cbr \r\n"
            "Bitrate=130\r\n"  // not a CBR rate: the nearest one
            "VbrQuality=42\r\n"
            "Mode=sideways\r\n"
            "SampleRate=abc\r\n"
            "garbage line\r\n");
  const TEncoderSettings s = LoadEncoderSettings(path);
  EXPECT_EQ(s.Bitrate, 128);
  EXPECT_EQ(s.VbrQuality, 9);
  EXPECT_EQ(s.Mode, TChannelMode::JointStereo);
  EXPECT_EQ(s.SampleRate, 44100);

  WriteFile(path, "[Encoder]\nRateControl=ABR\nBitrate=1000\nSampleRate=44000\n");
  const TEncoderSettings a = LoadEncoderSettings(path);
  EXPECT_EQ(a.RateControl, TRateControl::Abr);
  EXPECT_EQ(a.Bitrate, 320);
  EXPECT_EQ(a.SampleRate, 44100);
  WriteFile(path, "[Encoder]\nSampleRate=0\n");
  EXPECT_EQ(LoadEncoderSettings(path).SampleRate, 0);  // keep the input's rate
}

TEST(EncoderSettings, AFailedSaveIsReportedAndLeavesNothingBehind) {
  TempDir dir;
  // The file's name is taken by a folder: the final rename fails, even for
  // root, and the folder stays as it was.
  const std::string path = dir.File("mp3encoder.ini");
  std::filesystem::create_directory(path);
  WriteFile(path + "/inside", "keep");
  EXPECT_FALSE(SaveEncoderSettings(path, TEncoderSettings{}));
  EXPECT_EQ(ReadFile(path + "/inside"), "keep");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// Which choices the encoder can make as chosen, by table: a bitrate outside
// its rate's family is brought to the family's end and said so; mono and
// joint stereo go with everything; "the input's rate" takes the nearest
// rate a file can have.
TEST(EncoderSettings, PlanSaysWhatTheFileWillHoldAndWarnsWhereItDiffers) {
  for (auto [rate, kbps] :
       {std::pair{8000, 64}, {12000, 64}, {16000, 160}, {24000, 160}, {32000, 320}, {48000, 320}, {0, 320}})
    EXPECT_EQ(MaxBitrateFor(rate), kbps) << rate;
  struct Row {
    TRateControl Control;
    int Bitrate, Rate, Input;
    TChannelMode Mode;
    int FileRate, FileChannels, FileBitrate;
    const char* Warning;
  };
  const auto cbr = TRateControl::Cbr, abr = TRateControl::Abr, vbr = TRateControl::Vbr;
  const auto js = TChannelMode::JointStereo, mono = TChannelMode::Mono;
  const Row rows[] = {
      {cbr, 96, 44100, 44100, js, 44100, 2, 96, ""},
      {cbr, 320, 48000, 44100, mono, 48000, 1, 320, ""},
      {cbr, 160, 22050, 44100, js, 22050, 2, 160, ""},
      {cbr, 192, 22050, 44100, js, 22050, 2, 160,
       "At 22,050 Hz an MP3 file holds at most 160 kbit/s: it will have 160 kbit/s, not 192."},
      {cbr, 128, 8000, 44100, mono, 8000, 1, 64,
       "At 8,000 Hz an MP3 file holds at most 64 kbit/s: it will have 64 kbit/s, not 128."},
      {abr, 8, 44100, 44100, js, 44100, 2, 32,
       "At 44,100 Hz an MP3 file holds at least 32 kbit/s: it will have 32 kbit/s, not 8."},
      {abr, 8, 11025, 44100, js, 11025, 2, 8, ""},
      {vbr, 320, 8000, 44100, js, 8000, 2, 0, ""},
      {cbr, 256, 0, 44100, js, 44100, 2, 256, ""},
      {cbr, 256, 0, 22050, mono, 22050, 1, 160,
       "At 22,050 Hz an MP3 file holds at most 160 kbit/s: it will have 160 kbit/s, not 256."},
      {vbr, 128, 0, 96000, js, 48000, 2, 0,
       "An MP3 file cannot have the source's 96,000 Hz: it will have 48,000 Hz."},
  };
  for (const Row& r : rows) {
    TEncoderSettings s;
    s.RateControl = r.Control;
    s.Bitrate = r.Bitrate;
    s.SampleRate = r.Rate;
    s.Mode = r.Mode;
    const TMp3Plan plan = PlanMp3(s, r.Input);
    SCOPED_TRACE(std::string(RateControlName(r.Control)) + " " + std::to_string(r.Bitrate) + " at " +
                 std::to_string(r.Rate) + " from " + std::to_string(r.Input));
    EXPECT_EQ(plan.SampleRate, r.FileRate);
    EXPECT_EQ(plan.Channels, r.FileChannels);
    EXPECT_EQ(plan.Bitrate, r.FileBitrate);
    EXPECT_EQ(plan.Warning, r.Warning);
  }
}

}  // namespace
}  // namespace wavecrate
