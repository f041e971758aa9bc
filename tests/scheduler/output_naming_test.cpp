// The path a recording ends up in: folder + template with date and show name
// + ".mp3". A wrong token order or a replacement that rescans its own output
// silently names (and overwrites) the wrong file.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "scheduler/DiskSpace.h"
#include "scheduler/OutputNaming.h"
#include "scheduler/RecordingLog.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

TLocalTime Date(int year, int month, int day) {
  TLocalTime t;
  t.Year = year;
  t.Month = month;
  t.Day = day;
  return t;
}

const std::string kFolder = "C:\\Shows\\";

TEST(OutputNamingTest, ExpandsTemplatesAsTheUserWroteThem) {
  struct Row {
    const char* Template;
    const char* Show;
    TLocalTime Date;
    const char* Expected;
  };
  const Row rows[] = {
      {"showname-mm-dd-yyyy", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\Morning Talk-01-05-2008.mp3"},
      {"mm-dd-yyyy-showname", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\01-05-2008-Morning Talk.mp3"},
      {"yyyy-mm-dd-showname", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\2008-01-05-Morning Talk.mp3"},
      {"showname-mm-dd-yyyy", "Morning Talk", Date(2008, 11, 23), "C:\\Shows\\Morning Talk-11-23-2008.mp3"},
      {"yyyymmdd", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\20080105.mp3"},
      // Tokens are case-sensitive.
      {"Showname-MM-DD-YYYY", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\Showname-MM-DD-YYYY.mp3"},
      // A token inside a word is replaced too.
      {"Summary yyyy", "Morning Talk", Date(2008, 1, 5), "C:\\Shows\\Su01ary 2008.mp3"},
      // The show name goes in last, so its own "mm" survives.
      {"showname-mm-dd-yyyy", "Summer Jams", Date(2008, 1, 5), "C:\\Shows\\Summer Jams-01-05-2008.mp3"},
      {"showname-mm-dd-yyyy", "", Date(2008, 1, 5), "C:\\Shows\\-01-05-2008.mp3"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(BuildOutputFileName(kFolder, row.Show, row.Template, row.Date), row.Expected)
        << "template " << row.Template << ", show " << row.Show;
  }
}

TEST(OutputNamingTest, InsertedTextIsNeverScannedAgain) {
  // A show name made of tokens stays as it is.
  EXPECT_EQ(BuildOutputFileName("", "yyyy mm dd showname", "showname", Date(2008, 1, 5)),
            "yyyy mm dd showname.mp3");
  // "mmm" holds one "mm" from the left; the "m" left over is plain text.
  EXPECT_EQ(BuildOutputFileName("", "X", "mmm-ddd", Date(2008, 1, 5)), "01m-05d.mp3");
  // Day 1 gives "01"; the year's digits next to a "d" make no "dd".
  EXPECT_EQ(BuildOutputFileName("", "X", "dyyyyd", Date(2010, 7, 1)), "d2010d.mp3");
  // Years below 1000 have no leading zeros.
  EXPECT_EQ(BuildOutputFileName("", "X", "yyyy", Date(987, 12, 31)), "987.mp3");
}

TEST(OutputNamingTest, FolderIsAPlainPrefixAndATemplateWithoutTokensIsLiteral) {
  EXPECT_EQ(BuildOutputFileName("/home/me/shows", "Morning Talk", "showname", Date(2008, 1, 5)),
            "/home/me/showsMorning Talk.mp3");
  EXPECT_EQ(BuildOutputFileName("/srv/", "Morning Talk", "weekly", Date(2008, 1, 5)), "/srv/weekly.mp3");
  EXPECT_EQ(BuildOutputFileName("", "", "", Date(2008, 1, 5)), ".mp3");
}

TEST(OutputNamingTest, TrimRemovesBlanksAndControlCharactersAtBothEndsOnly) {
  EXPECT_EQ(Trim("  Morning Talk \t"), "Morning Talk");
  EXPECT_EQ(Trim("\x01\n\r Morning  Talk\x1f "), "Morning  Talk");
  EXPECT_EQ(Trim(std::string("\0 X \0", 5)), "X");
  EXPECT_EQ(Trim(" \t\n "), "");
  EXPECT_EQ(Trim(""), "");
  // Bytes above 127 (system code page letters) are kept; 127 itself is not a blank.
  EXPECT_EQ(Trim("\xe9t\xe9 \x7f"), "\xe9t\xe9 \x7f");
  // The indented entry of the show list names the same file as the bare name.
  EXPECT_EQ(BuildOutputFileName(kFolder, Trim("  Morning Talk \t"), "showname-mm-dd-yyyy", Date(2008, 1, 5)),
            BuildOutputFileName(kFolder, "Morning Talk", "showname-mm-dd-yyyy", Date(2008, 1, 5)));
}

TEST(OutputNamingTest, ATypedFolderHoldsTheFilesAndAnyOtherTextStaysAPrefix) {
  test::TempDir dir;
  const std::string folder = dir.Path().string();
  test::WriteFile(dir.File("notes"), "x");
  EXPECT_EQ(SaveFolderPrefix(folder), folder + "/");
  EXPECT_EQ(SaveFolderPrefix(folder + "/"), folder + "/");
  EXPECT_EQ(SaveFolderPrefix(folder + "/talk-"), folder + "/talk-") << "no such folder: a plain prefix";
  EXPECT_EQ(SaveFolderPrefix(dir.File("notes")), dir.File("notes")) << "a file is no folder";
  EXPECT_EQ(SaveFolderPrefix(""), "");
}

TEST(OutputNamingTest, AClaimedNameIsNeverOneThatExists) {
  test::TempDir dir;
  const std::string name = dir.File("Morning Talk-01-05-2008.mp3");
  const TClaimedFile first = ClaimOutputFile(name);
  EXPECT_EQ(first.Path, name);
  EXPECT_TRUE(first.Created);
  EXPECT_TRUE(std::filesystem::exists(name)) << "the name is held by an empty file";
  EXPECT_EQ(ClaimOutputFile(name).Path, dir.File("Morning Talk-01-05-2008 (2).mp3"));
  EXPECT_EQ(ClaimOutputFile(name).Path, dir.File("Morning Talk-01-05-2008 (3).mp3"));
  EXPECT_EQ(NumberedFileName("/x/weekly", 2), "/x/weekly (2)");
  const TClaimedFile nowhere = ClaimOutputFile(dir.File("missing/show.mp3"));
  EXPECT_EQ(nowhere.Path, dir.File("missing/show.mp3")) << "the capture reports the missing folder";
  EXPECT_FALSE(nowhere.Created);
}

TEST(DiskSpaceTest, NeedFollowsTheEncodersTopRateAndFreeSpaceIsTheDisksOwn) {
  TEncoderSettings encoder;
  encoder.Bitrate = 96;
  EXPECT_EQ(WorstCaseKbps(encoder), 96);
  encoder.RateControl = TRateControl::Vbr;
  EXPECT_EQ(WorstCaseKbps(encoder), 320) << "a VBR stream may stay at its top rate";
  encoder.SampleRate = 22050;
  EXPECT_EQ(WorstCaseKbps(encoder), 160);
  encoder.SampleRate = 44100;
  const std::uint64_t hour = RecordingBytesNeeded(encoder, 3600, false);
  EXPECT_GT(hour, 320u * 1000 / 8 * 3600);
  EXPECT_GT(RecordingBytesNeeded(encoder, 3600, true), 2 * 320u * 1000 / 8 * 3600) << "the conversion's copy";
  EXPECT_LT(RecordingBytesNeeded(encoder, 60, false), hour);

  test::TempDir dir;
  const std::optional<std::uint64_t> free = FreeBytesIn(dir.Path().string());
  ASSERT_TRUE(free);
  EXPECT_FALSE(FreeBytesIn(dir.File("missing")));
  EXPECT_FALSE(LowDiskWarning(dir.Path().string(), "Morning Talk", *free, *free));
  const std::optional<std::string> warning =
      LowDiskWarning(dir.Path().string(), "Morning Talk", *free + 1'000'000'000, *free);
  ASSERT_TRUE(warning);
  EXPECT_NE(warning->find(dir.Path().string()), std::string::npos) << *warning;
}

TEST(RecordingLogTest, OneLinePerEventSayingWhatTheUserNeeds) {
  std::ostringstream out;
  TRecordingLog log(out);
  TRecordingReport r;
  r.Slot = 2;
  r.ShowName = "Night\nOwls";
  r.Station = "WXYZ";
  r.File = "/rec/Night Owls-01-04-2008.mp3";
  r.ScheduledStart = SecondsFromCivil(Date(2008, 1, 4)) + 23 * 3600;
  r.ActualStart = r.ScheduledStart + 90 * 60;
  r.Joined = true;
  log.RecordingStarted(r);
  r.Result = TRecordingResult::Failed;
  r.Reason = "No sound reached the file.";
  log.RecordingFinished(r);
  log.RecordingWarning(2, "Only 5 MB is free.");
  std::istringstream lines(out.str());
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 3u) << out.str();
  EXPECT_NE(got[0].find("slot 2"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("joined 90 min after"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find(r.File), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("failed"), std::string::npos) << got[1];
  EXPECT_NE(got[1].find("No sound reached the file."), std::string::npos) << got[1];
  EXPECT_NE(got[2].find("Only 5 MB is free."), std::string::npos) << got[2];
}

}  // namespace
}  // namespace wavecrate
