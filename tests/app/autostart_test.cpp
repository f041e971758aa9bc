// Where the autostart entry goes, and how the executable's path is quoted in
// it (the menu item itself: start_with_desktop_test).
#include "app/Autostart.h"

#include <gtest/gtest.h>

namespace wavecrate {
namespace {

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

}  // namespace
}  // namespace wavecrate
