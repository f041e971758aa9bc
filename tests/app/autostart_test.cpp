// "Start with the Desktop" as a file: where the autostart entry goes, how
// the executable's path is quoted in it, and that presence is the setting.
#include "app/Autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;

TEST(Autostart, EntryLivesInTheXdgConfigFolder) {
  EXPECT_EQ(AutostartEntryPath(TXdgEnvironment{"/home/u", "", "", ""}),
            "/home/u/.config/autostart/example.wavecrate.Recorder.desktop");
  EXPECT_EQ(AutostartEntryPath(TXdgEnvironment{"/home/u", "/cfg", "", ""}),
            "/cfg/autostart/example.wavecrate.Recorder.desktop");
  EXPECT_EQ(AutostartEntryPath(TXdgEnvironment{"", "", "", ""}), "");
}

TEST(Autostart, ExecArgumentsAreQuotedAsDesktopEntriesRequire) {
  EXPECT_EQ(QuoteExecArgument("/usr/bin/wavecrate"), "/usr/bin/wavecrate");
  EXPECT_EQ(QuoteExecArgument("/opt/my apps/wavecrate"), "\"/opt/my apps/wavecrate\"");
  // Inside quotes ", `, $ and \ take a backslash; then the value's own
  // escaping doubles every backslash.
  EXPECT_EQ(QuoteExecArgument("/o/a\"b`c$d\\e"), "\"/o/a\\\\\"b\\\\`c\\\\$d\\\\\\\\e\"");
  EXPECT_EQ(QuoteExecArgument("/o/100%/w"), "/o/100%%/w");
  EXPECT_EQ(QuoteExecArgument("/o/line\nbreak"), "\"/o/line\\nbreak\"");
}

TEST(Autostart, PresenceIsTheSetting) {
  TempDir dir;
  const std::string entry = dir.File("config/autostart/example.wavecrate.Recorder.desktop");
  EXPECT_FALSE(AutostartEnabled(entry));
  SetAutostart(entry, "/opt/my apps/wavecrate", true);  // folders made as needed
  EXPECT_TRUE(AutostartEnabled(entry));
  const std::string text = ReadFile(entry);
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nExec=\"/opt/my apps/wavecrate\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
  SetAutostart(entry, "/opt/my apps/wavecrate", false);
  EXPECT_FALSE(AutostartEnabled(entry));
  EXPECT_NO_THROW(SetAutostart(entry, "/x", false)) << "removing a missing entry is fine";

  // The config folder is a file: switching on fails and says so.
  test::WriteFile(dir.File("blocked"), "");
  EXPECT_THROW(SetAutostart(dir.File("blocked/autostart/w.desktop"), "/x", true), std::system_error);
  EXPECT_THROW(SetAutostart("", "/x", true), std::system_error);
}

}  // namespace
}  // namespace wavecrate
