#include "app/Settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Every key of the file, in the order it must be written: the 50 keys in
// their three sections, then the window's options in a section of their own.
std::vector<std::string> ExpectedLines() {
  std::vector<std::string> lines = {"[UserInfo]", "Gender",     "YearOfBirth", "Country",
                                    "State",      "PostalCode", "Occupation",  "[User]"};
  for (const char* row :
       {"URL", "Check", "StartTime", "EndTime", "ShowName", "Station", "Daily", "WeekDay", "Sat", "Sun"}) {
    for (int n = 1; n <= 4; ++n) lines.push_back(row + std::to_string(n));
  }
  for (const char* line :
       {"[System]", "SaveFilePath", "FileNameFormat", "IsMute", "IsVista", "[Options]", "JoinShowsUnderWay",
        "KeepRecordings", "SharePodcast", "PodcastPort", "PodcastToken", "FileType"}) {
    lines.emplace_back(line);
  }
  return lines;
}

// Section headers and key names of a written file, blank lines skipped.
std::vector<std::string> WrittenLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    lines.push_back(line.front() == '[' ? line : line.substr(0, line.find('=')));
  }
  return lines;
}

TSettings NonDefaultSettings() {
  TSettings s;
  s.Gender = "F";
  s.YearOfBirth = "1961";
  s.Country = "Canada";
  s.State = "Nova Scotia";
  s.PostalCode = "B3H 1A1";
  s.Occupation = "Engineer";
  for (int i = 0; i < 4; ++i) {
    TSlotControls& slot = s.Slots[i];
    const std::string n = std::to_string(i + 1);
    slot.URL = "http://127.0.0.1:8000/stream" + n + "?a=1&b=2";
    slot.Check = i != 1;
    slot.StartTime = "0" + n + ":30:00 PM";
    slot.EndTime = "01:0" + n + ":00";
    slot.ShowName = "Show " + n;
    slot.Station = "W" + n + "XYZ";
    slot.Daily = i == 0;
    slot.WeekDay = i == 1;
    slot.Sat = i == 2;
    slot.Sun = i != 2;
  }
  s.SaveFilePath = "/home/listener/Radio Shows/";
  s.FileNameFormat = "yyyy-mm-dd-showname";
  s.IsMute = true;
  s.IsVista = true;
  s.JoinShowsUnderWay = false;
  s.KeepRecordings = "7 days";
  s.FileType = TRecordingFileType::Tagged;
  s.SharePodcast = true;
  s.PodcastPort = "8123";
  s.PodcastToken = "00112233445566778899aabbccddeeff";
  return s;
}

// Field by field would say which one differs; the whole record is enough to
// know that one does.
void ExpectSame(const TSettings& actual, const TSettings& expected) {
  EXPECT_TRUE(actual == expected);
}

TEST(SettingsLoad, MissingFileAndMissingKeysGiveDefaults) {
  TempDir dir;
  ExpectSame(LoadSettings(dir.File("absent.dat")), TSettings{});

  // Only [System] with IsMute: everything else keeps the window's defaults.
  WriteFile(dir.File("s.dat"), "[System]\r\nIsMute=1\r\n");
  TSettings expected;
  expected.IsMute = true;
  const TSettings loaded = LoadSettings(dir.File("s.dat"));
  ExpectSame(loaded, expected);
  EXPECT_EQ(loaded.Slots[0].StartTime, "00:00:00 AM");
  EXPECT_EQ(loaded.Slots[3].EndTime, "00:00:00");
  EXPECT_EQ(loaded.SaveFilePath, "Vista Users: Please Ensure Selected Folder is Not Write Protected.");
  EXPECT_EQ(loaded.FileNameFormat, "showname-mm-dd-yyyy");
}

TEST(SettingsLoad, ValuesFollowTheReadingRules) {
  TempDir dir;
  WriteFile(dir.File("s.dat"),
            "[user]\n"
            "check1=yes\nCheck2=2\nCheck3=0x1\nCheck4=0\n"
            "StartTime1=\nStartTime2=17:45:00\n"
            "ShowName1=  Other Music\n"
            "URL3 = \"http://x/\" \n"
            "[USERINFO]\nGender=M\n"
            "[System]\nIsVista=1\nFileNameFormat=\n");
  const TSettings s = LoadSettings(dir.File("s.dat"));
  EXPECT_FALSE(s.Slots[0].Check);
  EXPECT_TRUE(s.Slots[1].Check);
  EXPECT_TRUE(s.Slots[2].Check);
  EXPECT_FALSE(s.Slots[3].Check);
  EXPECT_EQ(s.Slots[0].StartTime, "");  // present but empty: not the default
  EXPECT_EQ(s.Slots[1].StartTime, "17:45:00");
  EXPECT_EQ(s.Slots[2].StartTime, "00:00:00 AM");
  EXPECT_EQ(s.Slots[0].ShowName, "Other Music");
  EXPECT_EQ(s.Slots[2].URL, "http://x/");
  EXPECT_EQ(s.Gender, "M");
  EXPECT_TRUE(s.IsVista);
  EXPECT_FALSE(s.IsMute);
  EXPECT_EQ(s.FileNameFormat, "");
}

TEST(SettingsLoad, JoinOptionIsOnUnlessItsOwnSectionSaysOff) {
  TempDir dir;
  // A file of an older copy of the program has no [Options].
  WriteFile(dir.File("old.dat"), "[System]\nIsMute=1\nJoinShowsUnderWay=0\n");
  EXPECT_TRUE(LoadSettings(dir.File("old.dat")).JoinShowsUnderWay) << "only [Options] holds the option";
  WriteFile(dir.File("new.dat"), "[System]\nIsMute=1\n[options]\njoinshowsunderway = 0\n");
  const TSettings loaded = LoadSettings(dir.File("new.dat"));
  EXPECT_FALSE(loaded.JoinShowsUnderWay);
  EXPECT_TRUE(loaded.IsMute);
  // The file type too: WAVE unless [Options] names the tagged one; a value
  // it does not know keeps the layout older copies wrote.
  EXPECT_EQ(loaded.FileType, TRecordingFileType::Wave);
  WriteFile(dir.File("tagged.dat"), "[Options]\nFileType=tagged\n");
  EXPECT_EQ(LoadSettings(dir.File("tagged.dat")).FileType, TRecordingFileType::Tagged);
  WriteFile(dir.File("odd.dat"), "[Options]\nFileType=flac\n");
  EXPECT_EQ(LoadSettings(dir.File("odd.dat")).FileType, TRecordingFileType::Wave);
}

TEST(SettingsWrite, RoundTripOfAllKeys) {
  TempDir dir;
  const TSettings original = NonDefaultSettings();
  WriteSettings(dir.File("wavecrate.dat"), original);
  ExpectSame(LoadSettings(dir.File("wavecrate.dat")), original);

  // Empty values stay empty rather than falling back to defaults.
  TSettings empty = original;
  empty.Slots[2].StartTime.clear();
  empty.SaveFilePath.clear();
  WriteSettings(dir.File("wavecrate.dat"), empty);
  ExpectSame(LoadSettings(dir.File("wavecrate.dat")), empty);
}

TEST(SettingsWrite, TheFiftyKeysInOrderThenTheOptions) {
  TempDir dir;
  const std::string path = dir.File("wavecrate.dat");
  WriteFile(path, "[Extra]\nfoo=bar\n[User]\nURL1=old\nHandAdded=1\n");
  WriteSettings(path, NonDefaultSettings());
  const std::string text = ReadFile(path);
  EXPECT_EQ(WrittenLines(text), ExpectedLines());
  EXPECT_EQ(text.find("HandAdded"), std::string::npos);
  EXPECT_EQ(text.find("Extra"), std::string::npos);
  EXPECT_NE(text.find("\nCheck1=1\nCheck2=0\n"), std::string::npos);  // Booleans as 1 and 0
}

TEST(SettingsWrite, ValuesWrittenAsHeld) {
  TempDir dir;
  const std::string path = dir.File("wavecrate.dat");
  TSettings s;
  s.Slots[0].ShowName = "  Other Music";
  s.Slots[1].StartTime = "07:05:00 PM";
  WriteSettings(path, s);
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("\nShowName1=  Other Music\n"), std::string::npos);
  EXPECT_NE(text.find("\nStartTime2=07:05:00 PM\n"), std::string::npos);
  // Read back under the reading rules, the indent is gone.
  EXPECT_EQ(LoadSettings(path).Slots[0].ShowName, "Other Music");
}

TEST(SettingsWrite, LineBreakInValueCannotInjectKeys) {
  TempDir dir;
  const std::string path = dir.File("wavecrate.dat");
  TSettings s = NonDefaultSettings();
  s.Slots[0].Station = "Evil\n[System]\nIsMute=1";
  s.IsMute = false;
  s.Slots[1].URL = "http://a/\r\nURL3=http://injected/";
  WriteSettings(path, s);
  EXPECT_EQ(WrittenLines(ReadFile(path)), ExpectedLines());
  const TSettings loaded = LoadSettings(path);
  EXPECT_EQ(loaded.Slots[0].Station, "Evil");
  EXPECT_EQ(loaded.Slots[1].URL, "http://a/");
  EXPECT_EQ(loaded.Slots[2].URL, s.Slots[2].URL);
  EXPECT_FALSE(loaded.IsMute);
}

TEST(SettingsWrite, KeepsPermissionsAndSymbolicLink) {
  TempDir dir;
  const std::string real = dir.File("real.dat");
  const std::string link = dir.File("wavecrate.dat");
  WriteFile(real, "[System]\nIsMute=0\n");
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  fs::create_symlink(real, link);

  WriteSettings(link, NonDefaultSettings());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(LoadSettings(real).IsMute);
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A failed write leaves the old file byte for byte, leaves no temporary file
// behind, and throws with the message the error box shows. These failures are
// chosen to be real even for root, who ignores folder permissions.
class SettingsWriteFailure : public testing::Test {
 protected:
  void ExpectFailureKeeps(const std::string& path, const std::string& oldContent) {
    const auto before = Listing();
    try {
      WriteSettings(path, NonDefaultSettings());
      ADD_FAILURE() << "no error for " << path;
    } catch (const TSettingsWriteError& e) {
      EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
    }
    EXPECT_EQ(ReadFile(path), oldContent);
    EXPECT_EQ(Listing(), before);  // no temporary file left
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_.Path())) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

TEST_F(SettingsWriteFailure, FolderMissing) {
  ExpectFailureKeeps(dir_.File("no/such/folder/w.dat"), "");
}

TEST_F(SettingsWriteFailure, TargetIsAFolder) {
  // The temporary file is written fine; only the final rename fails.
  const std::string path = dir_.File("wavecrate.dat");
  fs::create_directory(path);
  WriteFile(path + "/inside", "keep");
  ExpectFailureKeeps(path, "");
  EXPECT_EQ(ReadFile(path + "/inside"), "keep");
}

TEST_F(SettingsWriteFailure, DiskFullKeepsOldFile) {
  // A file-size limit stands in for a full disk: writes past it fail with
  // EFBIG, also for root. The old file is larger than the limit, so it could
  // only survive if it is never truncated.
  const std::string path = dir_.File("wavecrate.dat");
  TSettings old;
  for (TSlotControls& slot : old.Slots) slot.URL = std::string(1500, 'u');
  WriteSettings(path, old);
  const std::string oldContent = ReadFile(path);
  ASSERT_GT(oldContent.size(), 4000u);

  {
    const test::FileSizeLimit full(512);
    ExpectFailureKeeps(path, oldContent);
  }

  EXPECT_EQ(LoadSettings(path).Slots[3].URL.size(), 1500u);
}

TEST_F(SettingsWriteFailure, ReadOnlyFolder) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string path = dir_.File("ro/wavecrate.dat");
  fs::create_directory(dir_.File("ro"));
  WriteFile(path, "[System]\nIsMute=1\n");
  ASSERT_EQ(chmod(dir_.File("ro").c_str(), 0500), 0);
  ExpectFailureKeeps(path, "[System]\nIsMute=1\n");
  chmod(dir_.File("ro").c_str(), 0700);
}

}  // namespace
}  // namespace wavecrate
