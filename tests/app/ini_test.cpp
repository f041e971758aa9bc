#include "app/IniFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::TempDir;

std::optional<std::string> Get(const std::string& text, const char* section, const char* key) {
  return TIniFile::FromText(text).Find(section, key);
}

TEST(IniRead, MissingKeyGivesDefaultAndEmptyValueGivesEmpty) {
  const TIniFile ini = TIniFile::FromText("[User]\nStartTime1=\nURL1=x\n");
  EXPECT_EQ(ini.ReadString("User", "StartTime1", "00:00:00 AM"), "");
  EXPECT_EQ(ini.ReadString("User", "StartTime2", "00:00:00 AM"), "00:00:00 AM");
  EXPECT_EQ(ini.ReadString("Other", "URL1", "def"), "def");
  // A line without "=" names no value.
  EXPECT_EQ(Get("[User]\nURL1\n", "User", "URL1"), std::nullopt);
}

TEST(IniRead, NamesIgnoreCaseAndSurroundingBlanks) {
  const std::string text = "  [  uSeR  ]  \n\t showNAME1 \t=  Talk  \n";
  EXPECT_EQ(Get(text, "User", "ShowName1"), "Talk");
  EXPECT_EQ(Get(text, " USER ", "showname1"), "Talk");
  // Case folding is ASCII only and names must match as a whole.
  EXPECT_EQ(Get(text, "Use", "ShowName1"), std::nullopt);
  EXPECT_EQ(Get(text, "User", "ShowName"), std::nullopt);
}

TEST(IniRead, FirstSectionAndFirstKeyWin) {
  const std::string text =
      "[User]\nURL1=first\nurl1=second\n"
      "[System]\nIsMute=1\n"
      "[USER]\nURL1=third\nURL2=only-in-repeat\n";
  EXPECT_EQ(Get(text, "User", "URL1"), "first");
  // The repeated section is never seen, even for keys the first one lacks.
  EXPECT_EQ(Get(text, "User", "URL2"), std::nullopt);
  EXPECT_EQ(Get(text, "System", "IsMute"), "1");
}

TEST(IniRead, CommentsAndKeysOutsideSections) {
  const std::string text =
      "URL1=before any section\n"
      "[User]\n"
      "; URL2=commented\n"
      "   ;URL3=commented too\n"
      "URL4=kept ; not a comment\n"
      "#URL5=hash is no comment marker\n";
  EXPECT_EQ(Get(text, "User", "URL1"), std::nullopt);
  EXPECT_EQ(Get(text, "User", "URL2"), std::nullopt);
  EXPECT_EQ(Get(text, "User", "URL3"), std::nullopt);
  EXPECT_EQ(Get(text, "User", "URL4"), "kept ; not a comment");
  EXPECT_EQ(Get(text, "User", "#URL5"), "hash is no comment marker");
}

TEST(IniRead, BlanksAndQuotesAroundValues) {
  const std::string text =
      "[S]\n"
      "indent=  Other Music\t \n"
      "double=\"  quoted blanks  \"\n"
      "single= '  x ' \n"
      "empty=\"\"\n"
      "mismatched=\"abc'\n"
      "lone=\"\n"
      "inner=a\"b\"c\n"
      "twice=\"\"x\"\"\n"
      "equals=a=b\n";
  EXPECT_EQ(Get(text, "S", "indent"), "Other Music");
  EXPECT_EQ(Get(text, "S", "double"), "  quoted blanks  ");
  EXPECT_EQ(Get(text, "S", "single"), "  x ");
  EXPECT_EQ(Get(text, "S", "empty"), "");
  EXPECT_EQ(Get(text, "S", "mismatched"), "\"abc'");
  EXPECT_EQ(Get(text, "S", "lone"), "\"");
  EXPECT_EQ(Get(text, "S", "inner"), "a\"b\"c");
  EXPECT_EQ(Get(text, "S", "twice"), "\"x\"");  // only one pair comes off
  EXPECT_EQ(Get(text, "S", "equals"), "a=b");
}

TEST(IniRead, LineEndsOfEveryKind) {
  const char* texts[] = {
      "[A]\nk1=v1\nk2=v2\n[B]\nk3=v3",
      "[A]\r\nk1=v1\r\nk2=v2\r\n[B]\r\nk3=v3\r\n",
      "[A]\rk1=v1\rk2=v2\r[B]\rk3=v3\r",
      "[A]\r\nk1=v1\rk2=v2\n\n\r\r\n[B]\nk3=v3",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    const TIniFile ini = TIniFile::FromText(text);
    EXPECT_EQ(ini.Find("A", "k1"), "v1");
    EXPECT_EQ(ini.Find("A", "k2"), "v2");
    EXPECT_EQ(ini.Find("B", "k3"), "v3");
    EXPECT_EQ(ini.Find("A", "k3"), std::nullopt);
  }
}

TEST(IniRead, ByteOrderMarkBeforeFirstSection) {
  EXPECT_EQ(Get("\xEF\xBB\xBF[System]\r\nIsMute=1\r\n", "System", "IsMute"), "1");
  // Only at the very start: elsewhere those bytes are part of a name.
  EXPECT_EQ(Get("[A]\n\xEF\xBB\xBFk=v\n", "A", "k"), std::nullopt);
}

TEST(IniRead, SectionHeaderForms) {
  // The name ends at the last "]"; text after it is ignored.
  EXPECT_EQ(Get("[a]b] trailing\nk=v\n", "a]b", "k"), "v");
  // An unclosed header is no header: its keys stay in the section before.
  EXPECT_EQ(Get("[A]\n[B\nk=v\n", "A", "k"), "v");
  EXPECT_EQ(Get("[]\nk=v\n", "", "k"), "v");
}

TEST(IniRead, ValueCappedAt2047Characters) {
  const std::string longValue(5000, 'x');
  EXPECT_EQ(Get("[S]\nk=" + longValue + "\n", "S", "k"), std::string(2047, 'x'));
  EXPECT_EQ(Get("[S]\nk=" + std::string(2047, 'y') + "\n", "S", "k"), std::string(2047, 'y'));
  // Quotes come off before the cut.
  EXPECT_EQ(Get("[S]\nk=\"" + std::string(2047, 'q') + "\"\n", "S", "k"), std::string(2047, 'q'));
}

TEST(IniRead, NulEndsValue) {
  const std::string text("[S]\nk=ab\0cd  \nj=after\n", 22);
  EXPECT_EQ(Get(text, "S", "k"), "ab");
  EXPECT_EQ(Get(text, "S", "j"), "after");
}

TEST(IniProfileInteger, DecimalHexAndNonNumeric) {
  EXPECT_EQ(ParseProfileInteger("0"), 0);
  EXPECT_EQ(ParseProfileInteger("1"), 1);
  EXPECT_EQ(ParseProfileInteger("-7"), -7);
  EXPECT_EQ(ParseProfileInteger("+7"), 7);
  EXPECT_EQ(ParseProfileInteger("0x1"), 1);
  EXPECT_EQ(ParseProfileInteger("0XfF"), 255);
  // "0x" alone is two characters, so decimal: the "0" is read.
  EXPECT_EQ(ParseProfileInteger("0x"), 0);
  // Leading digits count; the rest is ignored.
  EXPECT_EQ(ParseProfileInteger("2abc"), 2);
  EXPECT_EQ(ParseProfileInteger("0x1g"), 1);
  EXPECT_EQ(ParseProfileInteger("10 0"), 10);
  // No digit where one is needed.
  EXPECT_EQ(ParseProfileInteger(""), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("yes"), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("-"), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("0xzz"), std::nullopt);
  EXPECT_EQ(ParseProfileInteger("x1"), std::nullopt);
  // Huge numbers are clamped, never wrapped to zero.
  EXPECT_GT(*ParseProfileInteger("99999999999999999999999999"), 0);
  EXPECT_GT(*ParseProfileInteger("0x10000000000000000000000"), 0);
  EXPECT_LT(*ParseProfileInteger("-99999999999999999999999999"), 0);
}

TEST(IniProfileInteger, BooleansAndIntegers) {
  const TIniFile ini = TIniFile::FromText(
      "[User]\nCheck1=yes\nCheck2=2\nCheck3=0x1\nCheck4=0\nDaily1=\nDaily2= 1 \nDaily3=2abc\n"
      "Daily4=\"1\"\nSat1=0x0\nSat2=0x\nSat3=-1\n");
  EXPECT_FALSE(ini.ReadBool("User", "Check1", false));
  EXPECT_TRUE(ini.ReadBool("User", "Check1", true));  // non-numeric: the default
  EXPECT_TRUE(ini.ReadBool("User", "Check2", false));
  EXPECT_TRUE(ini.ReadBool("User", "Check3", false));
  EXPECT_FALSE(ini.ReadBool("User", "Check4", true));
  EXPECT_FALSE(ini.ReadBool("User", "Daily1", false));  // empty: not a number
  EXPECT_TRUE(ini.ReadBool("User", "Daily2", false));
  EXPECT_TRUE(ini.ReadBool("User", "Daily3", false));
  EXPECT_TRUE(ini.ReadBool("User", "Daily4", false));
  EXPECT_FALSE(ini.ReadBool("User", "Sat1", true));
  EXPECT_FALSE(ini.ReadBool("User", "Sat2", true));
  EXPECT_TRUE(ini.ReadBool("User", "Sat3", false));
  EXPECT_FALSE(ini.ReadBool("User", "Missing", false));
  EXPECT_EQ(ini.ReadInteger("User", "Check3", 5), 1);
  EXPECT_EQ(ini.ReadInteger("User", "Check1", 5), 5);
  EXPECT_EQ(ini.ReadInteger("User", "Missing", 5), 5);
}

TEST(IniFileLoad, MissingEmptyBinaryAndLargeFiles) {
  TempDir dir;
  EXPECT_EQ(TIniFile::FromFile(dir.File("absent.dat")).Find("A", "k"), std::nullopt);
  // A folder instead of a file reads as nothing.
  EXPECT_EQ(TIniFile::FromFile(dir.Path().string()).Find("A", "k"), std::nullopt);

  test::WriteFile(dir.File("empty.dat"), "");
  EXPECT_EQ(TIniFile::FromFile(dir.File("empty.dat")).Find("A", "k"), std::nullopt);

  // Random bytes (NULs, brackets, line ends and all) followed by a good
  // section: the garbage must not hide it or crash the reader.
  std::mt19937 random(12345);
  std::string binary(1 << 20, '\0');
  for (char& c : binary) c = static_cast<char>(random() & 0xFF);
  test::WriteFile(dir.File("binary.dat"), binary + "\n[Tail]\nk=v\n");
  EXPECT_EQ(TIniFile::FromFile(dir.File("binary.dat")).Find("Tail", "k"), "v");

  // Several megabytes: many keys, one huge line, and the value at the end.
  std::string big = "[Big]\n";
  for (int i = 0; i < 100000; ++i) big += "key" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
  big += "huge=" + std::string(3 << 20, 'h') + "\n[Last]\nk=end\n";
  test::WriteFile(dir.File("big.dat"), big);
  const TIniFile ini = TIniFile::FromFile(dir.File("big.dat"));
  EXPECT_EQ(ini.Find("Big", "key99999"), "value 99999");
  EXPECT_EQ(ini.Find("Big", "huge")->size(), kIniMaxValueLength);
  EXPECT_EQ(ini.Find("Last", "k"), "end");
}

// A FIFO named like the settings file once hung start-up in open(), and a
// link to an endless device would be read for ever: only regular files are
// read, and nothing is waited on.
TEST(IniFileLoad, AnythingButARegularFileReadsAsMissingWithoutWaiting) {
  TempDir dir;
  const std::string fifo = dir.File("fifo.dat");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, dir.File("to-fifo.dat"));
  std::filesystem::create_symlink("/dev/zero", dir.File("to-zero.dat"));
  test::WriteFile(dir.File("real.dat"), "[A]\nk=v\n");
  std::filesystem::create_symlink(dir.File("real.dat"), dir.File("to-real.dat"));

  for (const char* name : {"fifo.dat", "to-fifo.dat", "to-zero.dat"}) {
    const std::string path = dir.File(name);
    EXPECT_FALSE(IsRegularFile(path)) << name;
    auto load = std::async(std::launch::async, [path] { return TIniFile::FromFile(path).Find("A", "k"); });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Let the blocked open() return before failing.
      const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      load.wait();
      if (writer >= 0) close(writer);
      ADD_FAILURE() << name << ": reading blocked";
      continue;
    }
    EXPECT_EQ(load.get(), std::nullopt) << name;
  }
  EXPECT_TRUE(IsRegularFile(dir.File("to-real.dat")));
  EXPECT_EQ(TIniFile::FromFile(dir.File("to-real.dat")).Find("A", "k"), "v");
  EXPECT_FALSE(IsRegularFile(dir.File("absent.dat")));
  EXPECT_FALSE(IsRegularFile(dir.Path().string()));
}

TEST(IniWrite, LayoutAndLineBreaksInValues) {
  TIniWriter out;
  out.Section("A");
  out.Value("k", "  spaced  ");
  out.BoolValue("on", true);
  out.BoolValue("off", false);
  out.Section("B");
  out.Value("broken", "first\n[A]\nk=injected");
  out.Value("cr", "x\ry=1");
  out.Value("nul", std::string_view("p\0q", 3));
  EXPECT_EQ(out.Text(), "[A]\nk=  spaced  \non=1\noff=0\n\n[B]\nbroken=first\ncr=x\nnul=p\n");

  const TIniFile ini = TIniFile::FromText(out.Text());
  EXPECT_EQ(ini.Find("A", "k"), "spaced");
  EXPECT_EQ(ini.Find("B", "broken"), "first");
  EXPECT_EQ(ini.Find("B", "y"), std::nullopt);
}

}  // namespace
}  // namespace wavecrate
