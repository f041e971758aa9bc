// Options, "Start with the Desktop" in the real window: placed after
// Recording Quality behind a separator, off by default, and showing whether
// the autostart entry is there, whoever made or removed it.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <cstdlib>
#include <filesystem>

#include "app/Autostart.h"
#include "app/qt/MainForm.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::TempDir;

TEST(StartWithDesktopTest, MenuItemWritesAndReflectsTheAutostartEntry) {
  TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
  const std::string entry = dir.File("config/autostart/example.wavecrate.Recorder.desktop");
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  TForm1 form(paths, nullptr);

  QMenu* options = form.findChild<QMenu*>("Option1");
  ASSERT_NE(options, nullptr);
  const QList<QAction*> items = options->actions();
  ASSERT_GE(items.size(), 3);
  const qsizetype quality = items.indexOf(form.findChild<QAction*>("MP31"));
  auto* item = form.findChild<QAction*>("StartWithDesktop1");
  ASSERT_NE(item, nullptr);
  ASSERT_GE(quality, 0);
  EXPECT_TRUE(items[quality + 1]->isSeparator()) << "a separator follows Recording Quality";
  EXPECT_GT(items.indexOf(item), quality + 1) << "in the group after the separator";
  EXPECT_EQ(item->text(), "Start with the Desktop");
  EXPECT_TRUE(item->isCheckable());
  EXPECT_FALSE(item->isChecked()) << "off by default";

  item->trigger();
  EXPECT_TRUE(item->isChecked());
  ASSERT_TRUE(std::filesystem::exists(entry));
  EXPECT_NE(test::ReadFile(entry).find("\nExec=" + paths.ExePath + "\n"), std::string::npos);
  // The desktop's own validator accepts the entry.
  EXPECT_EQ(std::system(("desktop-file-validate '" + entry + "'").c_str()), 0);

  // Removed behind the program's back (the desktop's settings): the menu
  // shows it when it opens.
  std::filesystem::remove(entry);
  emit options->aboutToShow();
  EXPECT_FALSE(item->isChecked());
  item->trigger();
  EXPECT_TRUE(std::filesystem::exists(entry));
  item->trigger();
  EXPECT_FALSE(item->isChecked());
  EXPECT_FALSE(std::filesystem::exists(entry));

  // The entry cannot be written: the item stays off.
  test::WriteFile(dir.File("file"), "");
  setenv("XDG_CONFIG_HOME", dir.File("file").c_str(), 1);
  item->trigger();
  EXPECT_FALSE(item->isChecked());
  unsetenv("XDG_CONFIG_HOME");
  form.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate
