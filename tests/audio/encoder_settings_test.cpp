#include "audio/EncoderSettings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <utility>

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

TEST(EncoderSettings, HighestBitrateFollowsTheMpegVersionOfTheRate) {
  for (auto [rate, kbps] :
       {std::pair{8000, 64}, {12000, 64}, {16000, 160}, {24000, 160}, {32000, 320}, {48000, 320}, {0, 320}})
    EXPECT_EQ(MaxBitrateFor(rate), kbps) << rate;
}

}  // namespace
}  // namespace wavecrate
