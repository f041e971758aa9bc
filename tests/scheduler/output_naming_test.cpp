// The path a recording ends up in: folder + template with date and show name
// + ".mp3". A wrong token order or a replacement that rescans its own output
// silently names (and overwrites) the wrong file.
#include <gtest/gtest.h>

#include <algorithm>
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
  EXPECT_EQ(SaveFolderPrefix(folder + "/talk-"), folder + "/talk-") << "no such folder: a plain prefix";
  EXPECT_EQ(SaveFolderPrefix(dir.File("notes")), dir.File("notes")) << "a file is no folder";
}

TEST(DiskSpaceTest, AVbrRecordingIsSizedAtItsTopRate) {
  TEncoderSettings encoder;
  encoder.RateControl = TRateControl::Vbr;
  EXPECT_EQ(WorstCaseKbps(encoder), 320);
  encoder.SampleRate = 22050;
  EXPECT_EQ(WorstCaseKbps(encoder), 160);
}

TEST(RecordingLogTest, OneLinePerEventSayingWhatTheUserNeeds) {
  std::ostringstream out;
  TRecordingLog log(out);
  TRecordingReport r;
  r.Slot = 2;
  r.ShowName = "Night\nOwls";
  r.File = "/rec/Night Owls-01-04-2008.mp3";
  r.ActualStart = r.ScheduledStart + 90 * 60;
  r.Joined = true;
  log.RecordingStarted(r);
  r.Result = TRecordingResult::Failed;
  r.Reason = "No sound reached the file.";
  log.RecordingFinished(r);
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_NE(text.find("slot 2, \"Night Owls\": recording into /rec/Night Owls-01-04-2008.mp3, joined 90 min"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("failed, 0 s in /rec/Night Owls-01-04-2008.mp3: No sound reached the file."),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace wavecrate
