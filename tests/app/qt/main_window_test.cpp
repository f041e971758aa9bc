// The main window as a user meets it: built offscreen, controls found by
// their names, settings loaded at start and written at exit.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "LogindTestSupport.h"
#include "app/SaveChanges.h"
#include "app/qt/AboutForm.h"
#include "app/qt/AppServices.h"
#include "app/qt/MainForm.h"
#include "app/qt/TimeEdit.h"
#include "scheduler/RecodeThread.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Answers every modal message box that appears and remembers what it said.
class MessageCatcher : public QObject {
 public:
  MessageCatcher() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Texts.push_back(box->text());
        Titles.push_back(box->windowTitle());
        box->accept();
      }
    });
    timer_.start();
  }
  std::vector<QString> Texts;
  std::vector<QString> Titles;

 private:
  QTimer timer_;
};

TAppPaths PathsIn(const TempDir& dir, const std::string& exeName = "wavecrate") {
  return TAppPaths::ForExecutable(dir.File(exeName));
}

template <typename T>
T* Find(QObject& root, const char* name) {
  T* w = root.findChild<T*>(name);
  EXPECT_NE(w, nullptr) << "no control named " << name;
  return w;
}

// A start time six hours away, so slot threads made by a save never fire here.
std::string StartTimeFarFromNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const int hour24 = (tm.tm_hour + 6) % 24;
  const int hour12 = hour24 % 12 == 0 ? 12 : hour24 % 12;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:15:00 %s", hour12, hour24 < 12 ? "AM" : "PM");
  return text;
}

std::vector<std::string> KeyLines(const std::string& file) {
  std::vector<std::string> keys;
  std::istringstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('=') != std::string::npos) keys.push_back(line.substr(0, line.find('=')));
  }
  return keys;
}

TEST(MainWindowTest, FirstRunShowsTheDesignedWindowAndWritesNothing) {
  TempDir dir;
  TForm1 form(PathsIn(dir), nullptr);
  EXPECT_EQ(form.windowTitle(), "Wavecrate Talk Radio Recorder");
  EXPECT_EQ(form.centralWidget()->size(), QSize(954, 671));
  EXPECT_EQ(form.palette().color(QPalette::Window), QColor(54, 86, 219));
  EXPECT_FALSE(form.Controller().SettingsFileExisted());
  EXPECT_FALSE(form.Controller().PlaybackTimersEnabled()) << "a first run keeps the playback timers off";
  EXPECT_FALSE(std::filesystem::exists(form.Paths().SettingsPath)) << "nothing is written at start-up";

  EXPECT_EQ(Find<QLineEdit>(form, "ComboBox1")->text(), "00:00:00 AM");
  EXPECT_EQ(Find<QLineEdit>(form, "ComboBox8")->text(), "00:00:00");
  EXPECT_TRUE(Find<QLineEdit>(form, "ComboBox3")->isReadOnly());
  EXPECT_EQ(Find<QLineEdit>(form, "SaveFileName")->text(), "") << "the hint is a placeholder, not a path";
  QComboBox* format = Find<QComboBox>(form, "ComboBox9");
  EXPECT_EQ(format->currentText(), "showname-mm-dd-yyyy");
  EXPECT_EQ(format->count(), 3);
  EXPECT_EQ(format->itemText(2), "yyyy-mm-dd-showname");

  for (const char* name : {"Edit3", "Edit6", "Edit9", "Edit12"}) {
    QComboBox* shows = Find<QComboBox>(form, name);
    EXPECT_EQ(shows->count(), 95);
    EXPECT_EQ(shows->itemText(0), "All");
    EXPECT_EQ(shows->currentText(), "") << "show lists start empty";
  }
  // Rows 32 pixels apart from 276; the Daily column lies outside the client area.
  EXPECT_EQ(Find<QLineEdit>(form, "Edit1")->geometry(), QRect(56, 276, 165, 21));
  EXPECT_EQ(Find<QLineEdit>(form, "Edit10")->geometry().top(), 276 + 3 * 32);
  EXPECT_EQ(Find<QComboBox>(form, "Edit6")->geometry().left(), 488);
  for (const char* name : {"CheckBox2", "CheckBox5", "CheckBox8", "CheckBox11"}) {
    EXPECT_GE(Find<QCheckBox>(form, name)->x(), 954);
  }
  const char* upDowns[8] = {"UpDown5", "UpDown6", "UpDown7", "UpDown8",
                            "UpDown1", "UpDown2", "UpDown3", "UpDown4"};
  for (int tag = 0; tag < 8; ++tag) {
    EXPECT_EQ(Find<TUpDown>(form, upDowns[tag])->Tag(), tag);
    EXPECT_NE(form.TimeEdits[tag], nullptr);
  }
  EXPECT_EQ(form.TimeEdits[0]->objectName(), "ComboBox1");
  EXPECT_EQ(form.TimeEdits[7]->objectName(), "ComboBox8");
  EXPECT_FALSE(Find<QLabel>(form, "Warning")->isVisibleTo(&form));
  EXPECT_FALSE(Find<QLabel>(form, "Image1")->pixmap().isNull()) << "the header JPEG did not decode";
  EXPECT_EQ(Find<QPushButton>(form, "Button2")->text(), "Save changes");
  EXPECT_EQ(Find<QPushButton>(form, "Button3")->text(), "Close Program");
  EXPECT_EQ(Find<QTimer>(form, "Timer5")->interval(), 200);
  EXPECT_FALSE(Find<QTimer>(form, "Timer5")->isActive()) << "no script-error window can appear to close";
  EXPECT_EQ(Find<QTimer>(form.Controller(), "Timer3")->interval(), 1000);

  std::map<QString, QString> menu;
  for (QAction* a : form.findChildren<QAction*>()) menu[a->objectName()] = a->text();
  EXPECT_EQ(menu["Exit1"], "&Exit");
  EXPECT_EQ(menu["MP31"], "&Recording Quality");
  EXPECT_EQ(menu["Help2"], "&Help");
  EXPECT_EQ(menu["About1"], "&About");

  TForm3* about = form.AboutBox();
  EXPECT_EQ(about->windowTitle(), "About Wavecrate");
  EXPECT_EQ(about->size(), QSize(535, 252));
  EXPECT_EQ(Find<QLabel>(*about, "Label2")->text(), "Version 1.2.01");
  EXPECT_EQ(Find<QLabel>(*about, "Label13")->text(), "Wavecrate Talk Radio Recorder ");
  EXPECT_FALSE(Find<QLabel>(*about, "Image1")->pixmap().isNull()) << "the logo JPEG did not decode";
  QTimer::singleShot(50, [about] { Find<QPushButton>(*about, "Button1")->click(); });
  about->exec();
  EXPECT_EQ(about->palette().color(QPalette::Window), QColor(54, 86, 219));
  EXPECT_FALSE(about->isVisible());
}

TEST(MainWindowTest, HandWrittenFileIsLoadedSavedAtStartAndRewrittenByTheRulesAtExit) {
  TempDir dir;
  const TAppPaths paths = PathsIn(dir);
  WriteFile(paths.SettingsPath,
            "; written by hand\r\n"
            "[userinfo]\r\nGender = M\r\nCountry=\"United States\"\r\nHobby=fishing\r\n"
            "[User]\nURL1=http://127.0.0.1:9/stream\nCheck1=yes\nCheck2=0x1\nShowName1=  Other Music\n"
            "StartTime1=" +
                StartTimeFarFromNow() +
                "\nStation1=WXYZ\nSat1=2\n"
                "[Extra]\nkey=value\n"
                "[System]\nIsVista=1\nIsMute=1\nSaveFilePath=" +
                dir.Path().string() + "/\n");
  MessageCatcher catcher;
  {
    TForm1 form(paths, nullptr);
    EXPECT_TRUE(form.Controller().SettingsFileExisted());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.Controller().PlaybackTimersEnabled());
    EXPECT_EQ(form.Controller().Profile().Gender, "M");
    EXPECT_EQ(form.Controller().Profile().Country, "United States");
    EXPECT_EQ(Find<QComboBox>(form, "Edit3")->currentText(), "Other Music");
    EXPECT_FALSE(Find<QCheckBox>(form, "CheckBox1")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(form, "CheckBox4")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>(form, "CheckBox13")->isChecked());
    // IsVista ran its click behaviour; IsMute keeps its value though greyed.
    EXPECT_TRUE(Find<QLabel>(form, "Warning")->isVisibleTo(&form));
    QCheckBox* mute = Find<QCheckBox>(form, "IsMute");
    EXPECT_FALSE(mute->isEnabled());
    EXPECT_TRUE(mute->isChecked());
    // Slot 2 is on but incomplete: the start-up save pass says so and hands nothing over.
    ASSERT_EQ(catcher.Texts.size(), 1u);
    EXPECT_EQ(catcher.Texts[0], "Please enter start time/end time/show name/stream link first.");
    EXPECT_EQ(catcher.Titles[0], "Wavecrate");
    EXPECT_FALSE(form.Controller().Editor().SlotActive(1));
    form.ExitSequence(false);
  }
  const std::string file = ReadFile(paths.SettingsPath);
  const std::vector<std::string> keys = KeyLines(file);
  ASSERT_EQ(keys.size(), 56u) << "the 50 keys, then the options in [Options]";
  EXPECT_EQ(keys.front(), "Gender");
  EXPECT_EQ(keys[49], "IsVista");
  EXPECT_EQ(keys[50], "JoinShowsUnderWay");
  EXPECT_EQ(keys[51], "KeepRecordings");
  EXPECT_EQ(keys.back(), "FileType");
  EXPECT_NE(file.find("KeepRecordings=forever"), std::string::npos);
  // The podcast share stays off until switched on.
  EXPECT_NE(file.find("\nSharePodcast=0\nPodcastPort=41808\n"), std::string::npos);
  EXPECT_NE(file.find("[System]"), std::string::npos);
  EXPECT_NE(file.find("[Options]\nJoinShowsUnderWay=1"), std::string::npos);
  EXPECT_NE(file.find("Check1=0"), std::string::npos);
  EXPECT_NE(file.find("Check2=1"), std::string::npos);
  EXPECT_NE(file.find("Sat1=1"), std::string::npos);
  EXPECT_NE(file.find("ShowName1=Other Music"), std::string::npos);
  EXPECT_NE(file.find("Country=United States"), std::string::npos);
  EXPECT_EQ(file.find("Hobby"), std::string::npos);
  EXPECT_EQ(file.find("Extra"), std::string::npos);
}

TEST(MainWindowTest, SaveChangesValidatesThenHandsOverEnablesTimersAndWrites) {
  TempDir dir;
  MessageCatcher catcher;
  TForm1 form(PathsIn(dir), nullptr);
  QPushButton* save = Find<QPushButton>(form, "Button2");

  save->click();  // the folder box still holds its hint
  ASSERT_EQ(catcher.Texts.size(), 1u);
  EXPECT_EQ(catcher.Texts.back(), "Save Path Must be Entered.");
  EXPECT_FALSE(std::filesystem::exists(form.Paths().SettingsPath));

  Find<QLineEdit>(form, "SaveFileName")->setText(QString::fromStdString(dir.Path().string() + "/"));
  Find<QCheckBox>(form, "CheckBox1")->setChecked(true);
  Find<QLineEdit>(form, "Edit1")->setText("javascript:void(window.open('http://127.0.0.1:9/live'))");
  Find<QComboBox>(form, "Edit3")->setCurrentIndex(2);
  form.TimeEdits[0]->SetFieldText(QString::fromStdString(StartTimeFarFromNow()));
  Find<QCheckBox>(form, "CheckBox7")->setChecked(true);  // slot 3 on, no show name
  Find<QLineEdit>(form, "Edit7")->setText("http://127.0.0.1:9/other");
  save->click();
  ASSERT_EQ(catcher.Texts.size(), 2u);
  EXPECT_EQ(catcher.Texts.back(), "Please enter start time/end time/show name/stream link first.");
  EXPECT_FALSE(form.Controller().Editor().SlotActive(1))
      << "nothing is handed over when any switched-on slot is incomplete";
  EXPECT_FALSE(form.Controller().PlaybackTimersEnabled());

  Find<QCheckBox>(form, "CheckBox7")->setChecked(false);
  save->click();
  EXPECT_EQ(catcher.Texts.size(), 2u) << "a complete schedule saves without a message";
  EXPECT_TRUE(form.Controller().Editor().SlotActive(1));
  EXPECT_FALSE(form.Controller().Editor().SlotActive(3));
  EXPECT_TRUE(form.Controller().PlaybackTimersEnabled())
      << "a first-run save must switch the playback timers on";
  const std::string file = ReadFile(form.Paths().SettingsPath);
  EXPECT_NE(file.find("URL1=javascript:void(window.open('http://127.0.0.1:9/live'))"), std::string::npos)
      << "the link is stored as pasted";
  form.ExitSequence(false);
}

TEST(MainWindowTest, TimeFieldsFollowMouseKeysAndTheSharedUpDownHandler) {
  TempDir dir;
  TForm1 form(PathsIn(dir), nullptr);
  form.show();
  QLineEdit* start = Find<QLineEdit>(form, "ComboBox1");
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(5, 10));
  QTest::keyClick(start, '1');
  QTest::keyClick(start, '2');
  EXPECT_EQ(start->text(), "12:00:00 AM");
  QTest::keyClick(start, 'x');  // not a digit: nothing changes
  EXPECT_EQ(start->text(), "12:00:00 AM");

  // UpDown5 (Tag 0) steps the hours of slot 1's start: 12 + 1 wraps to 01.
  Find<QToolButton>(*Find<TUpDown>(form, "UpDown5"), "Up")->click();
  EXPECT_EQ(start->text(), "01:00:00 AM");
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(50, 10));
  Find<QToolButton>(*Find<TUpDown>(form, "UpDown5"), "Down")->click();
  EXPECT_EQ(start->text(), "01:00:00 PM");

  // UpDown1 (Tag 4) belongs to slot 1's duration; its hours never show 00.
  QLineEdit* duration = Find<QLineEdit>(form, "ComboBox2");
  QTest::mouseClick(duration, Qt::LeftButton, {}, QPoint(5, 10));
  Find<QToolButton>(*Find<TUpDown>(form, "UpDown1"), "Down")->click();
  EXPECT_EQ(duration->text(), "11:00:00");
  EXPECT_EQ(start->text(), "01:00:00 PM") << "another field's button must not touch slot 1's start";

  // Show-name lists discard typed keys.
  QComboBox* shows = Find<QComboBox>(form, "Edit3");
  QTest::keyClicks(shows, "Political");
  EXPECT_EQ(shows->currentText(), "");
  form.ExitSequence(false);
}

TEST(MainWindowTest, CloseHidesAndALeftTrayClickBringsTheWindowBack) {
  TempDir dir;
  TForm1 form(PathsIn(dir, "averyveryveryveryveryveryveryveryveryveryveryveryveryverylongrecordername"),
              nullptr);
  form.show();
  EXPECT_EQ(form.TrayIcon()->toolTip().size(), 63);
  EXPECT_TRUE(form.TrayIcon()->toolTip().startsWith("Averyvery"));
  // Offscreen there is no tray host: the icon cannot be shown, and nothing complains.
  EXPECT_FALSE(form.TrayIcon()->isVisible());

  Find<QLineEdit>(form, "Edit2")->setText("KABC");
  form.close();
  EXPECT_FALSE(form.isVisible());
  Find<QPushButton>(form, "Button3")->click();
  EXPECT_FALSE(form.isVisible());
  emit form.TrayIcon()->activated(QSystemTrayIcon::Context);
  EXPECT_FALSE(form.isVisible()) << "only a left click shows the window";
  emit form.TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(Find<QLineEdit>(form, "Edit2")->text(), "KABC");
  form.ExitSequence(false);
}

TEST(MainWindowTest, AFailedSettingsWriteIsReportedAndKeepsTheIconAndTheOldFile) {
  TempDir dir;
  const TAppPaths paths = PathsIn(dir);
  // A folder standing where the settings file should be cannot be replaced by
  // a file, whoever runs the test.
  std::filesystem::create_directory(paths.SettingsPath);
  WriteFile(paths.SettingsPath + "/keep", "old");
  MessageCatcher catcher;
  TForm1 form(paths, nullptr);
  Find<QLineEdit>(form, "SaveFileName")->setText(QString::fromStdString(dir.Path().string() + "/"));
  Find<QPushButton>(form, "Button2")->click();
  ASSERT_FALSE(catcher.Texts.empty());
  EXPECT_EQ(catcher.Texts.back(), QString::fromStdString("Unable to write to " + paths.SettingsPath));
  EXPECT_EQ(ReadFile(paths.SettingsPath + "/keep"), "old");
  const size_t before = catcher.Texts.size();
  form.ExitSequence(true);
  EXPECT_EQ(catcher.Texts.size(), before + 1) << "the exit write reports its failure too";
}

}  // namespace
}  // namespace wavecrate

namespace wavecrate {
namespace {

TEST(MainWindowTest, TheWatchdogClosesScriptErrorBoxesOnlyAndTheVistaSwitchGreysMute) {
  test::TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  QWidget errorBox;
  errorBox.setWindowTitle("Internet Explorer Script Error");
  QWidget other;
  other.setWindowTitle("Internet Explorer Script Error (not quite)");
  errorBox.show();
  other.show();
  // The watchdog is not started where no such box can appear; its handler
  // still knows the one it would close.
  form.findChild<QTimer*>("Timer5")->start();
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        QCoreApplication::processEvents();
        return !errorBox.isVisible();
      },
      std::chrono::milliseconds(2000)));
  EXPECT_TRUE(other.isVisible()) << "a window of any other title is left alone";

  QCheckBox* vista = form.findChild<QCheckBox*>("IsVista");
  QCheckBox* mute = form.findChild<QCheckBox*>("IsMute");
  mute->setChecked(true);
  vista->click();
  EXPECT_TRUE(form.findChild<QLabel*>("Warning")->isVisibleTo(&form));
  EXPECT_FALSE(mute->isEnabled());
  EXPECT_TRUE(mute->isChecked()) << "the Vista switch greys IsMute but keeps its state";
  vista->click();
  EXPECT_FALSE(form.findChild<QLabel*>("Warning")->isVisibleTo(&form));
  EXPECT_TRUE(mute->isEnabled());
  form.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate

namespace wavecrate {
namespace {

TEST(MainWindowTest, TypedTimesAreCompletedOnLeavingAndHandedOverIn24HourForm) {
  test::TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QLineEdit* start = form.findChild<QLineEdit*>("ComboBox5");  // slot 3
  QLineEdit* duration = form.findChild<QLineEdit*>("ComboBox6");
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(5, 10));
  QTest::keyClick(start, '0');
  EXPECT_EQ(start->text(), "00:00:00 AM") << "a start field refuses 0 as the first hour digit";
  QTest::keyClick(start, '1');
  QTest::keyClick(start, '3');
  EXPECT_EQ(start->text(), " 3:00:00 AM") << "13 is no hour: the part starts again";
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(20, 10));
  QTest::keyClick(start, '5');
  EXPECT_EQ(start->text(), " 3: 5:00 AM");
  QTest::mouseClick(start, Qt::LeftButton, {}, QPoint(50, 10));
  form.findChild<TUpDown*>("UpDown7")->findChild<QToolButton*>("Up")->click();
  // Leaving the field turns the blanks left by typing into zeros.
  duration->setFocus();
  EXPECT_EQ(start->text(), "03:05:00 PM");

  form.TimeEdits[2]->SetFieldText("11:30:00 PM");
  form.TimeEdits[6]->SetFieldText("01:00:00");
  form.findChild<QLineEdit*>("SaveFileName")->setText(QString::fromStdString(dir.Path().string() + "/"));
  form.findChild<QCheckBox*>("CheckBox7")->setChecked(true);
  form.findChild<QLineEdit*>("Edit7")->setText("http://127.0.0.1:9/late");
  form.findChild<QComboBox*>("Edit9")->setCurrentIndex(5);
  form.findChild<QCheckBox*>("CheckBox17")->setChecked(true);  // Saturday
  form.findChild<QCheckBox*>("CheckBox18")->setChecked(true);  // Sunday
  ASSERT_TRUE(form.Button2Click());
  TRecodeThread* thread = form.Controller().Editor().RecodeThreads(3);
  ASSERT_NE(thread, nullptr);
  const auto settings = thread->Settings();
  EXPECT_EQ(settings->StartTime, "23:30:00");
  EXPECT_EQ(settings->EndTime, "00:30:00");
  EXPECT_EQ(settings->DayFlags, 1100);
  EXPECT_EQ(settings->ShowName, form.findChild<QComboBox*>("Edit9")->itemText(5).toStdString());
  EXPECT_TRUE(settings->Enabled);
  // Switched off and saved again: the same thread, now disabled.
  form.findChild<QCheckBox*>("CheckBox7")->setChecked(false);
  ASSERT_TRUE(form.Button2Click());
  EXPECT_EQ(form.Controller().Editor().RecodeThreads(3), thread);
  EXPECT_FALSE(thread->Settings()->Enabled);
  EXPECT_FALSE(form.Controller().Editor().SlotActive(3));
  form.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate

namespace wavecrate {
namespace {

// The window hands its join triggers and its option to the slot threads:
// the start-up save pass joins a show under way (named after its start's
// date), a save with "Join Shows Already Under Way" off leaves one alone, a
// save with it on joins.
TEST(MainWindowTest, ShowsUnderWayAreJoinedAtStartUpAndAtSaveUnlessSwitchedOff) {
  // The window listens to logind; the private one keeps the real system bus
  // out of the test.
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  test::TScopedTimeZone utc("UTC");
  test::TempDir dir;
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  std::filesystem::create_directory(dir.File("rec"));
  test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 0, 30, 10));  // Saturday, just past midnight
  test::TCaptureLog captures;
  auto events = std::make_shared<test::TRecordingEventLog>();
  auto services = std::make_shared<TAppServices>();
  services->AppClock = &clock;
  services->CaptureFactory = captures.Factory(clock, 0);
  services->Events = events;
  services->ProgramFolder = dir.Path().string();
  // Friday's late show, 23:00 to 01:00 on weekdays, is under way.
  test::WriteFile(paths.SettingsPath,
                  "[User]\nURL1=http://127.0.0.1:9/night\nCheck1=1\nStartTime1=11:00:00 PM\n"
                  "EndTime1=02:00:00\nShowName1=  Other Music\nStation1=WXYZ\nWeekDay1=1\n"
                  "[System]\nSaveFilePath=" +
                      dir.File("rec") + "\n");
  MessageCatcher catcher;
  {
    TForm1 form(paths, services);
    // Also when an assertion leaves early: the slot threads sleep in the
    // fake clock and must be let go before the window joins them.
    struct TReleaseClock {
      test::TFakeClock& Clock;
      ~TReleaseClock() { Clock.ReleaseAll(); }
    } release{clock};
    clock.SetParticipants(1);
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    auto recorded = captures.Records();
    ASSERT_EQ(recorded.size(), 1u) << "the start-up pass must join the show under way";
    EXPECT_EQ(recorded[0].SlotField, 1);
    EXPECT_EQ(recorded[0].OutputFileName, dir.File("rec") + "/Other Music-01-04-2008.mp3");
    const auto entries = events->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].Report.Joined);
    EXPECT_EQ(entries[0].Report.Station, "WXYZ") << "Save changes hands the station over";

    QAction* join = form.findChild<QAction*>("JoinShows1");
    ASSERT_NE(join, nullptr);
    EXPECT_EQ(join->text(), "&Join Shows Already Under Way");
    EXPECT_TRUE(join->isChecked()) << "on by default";
    join->trigger();

    // Slot 2: Saturday 00:15 to 01:15, under way too.
    form.findChild<QCheckBox*>("CheckBox4")->setChecked(true);
    form.findChild<QLineEdit*>("Edit4")->setText("http://127.0.0.1:9/early");
    form.TimeEdits[1]->SetFieldText("12:15:00 AM");
    form.TimeEdits[5]->SetFieldText("01:00:00");
    form.findChild<QComboBox*>("Edit6")->setCurrentIndex(3);
    form.findChild<QCheckBox*>("CheckBox15")->setChecked(true);
    ASSERT_TRUE(form.Button2Click());
    clock.SetParticipants(2);
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    EXPECT_EQ(captures.Records().size(), 1u) << "joined with the option off";
    EXPECT_NE(test::ReadFile(paths.SettingsPath).find("[Options]\nJoinShowsUnderWay=0"), std::string::npos);

    join->trigger();
    ASSERT_TRUE(form.Button2Click());
    ASSERT_TRUE(clock.RunFor(std::chrono::seconds(2)));
    recorded = captures.Records();
    ASSERT_EQ(recorded.size(), 2u) << "a save inside the window joins the show";
    EXPECT_EQ(recorded[1].SlotField, 2);
    const std::string show = form.findChild<QComboBox*>("Edit6")->itemText(3).trimmed().toStdString();
    EXPECT_EQ(recorded[1].OutputFileName, dir.File("rec") + "/" + show + "-01-05-2008.mp3");
    EXPECT_TRUE(catcher.Texts.empty());
    form.ExitSequence(false);
  }
}

}  // namespace
}  // namespace wavecrate

namespace wavecrate {
namespace {

// Ticked, empty and disabled boxes must be told apart at a glance on the
// window's blue (a ticked box once came out as a grey box with a pale tick,
// like a disabled one): a white box with a dark tick, a white empty box, and
// a grey box. Judged on the rendered pixels inside each box's border.
TEST(MainWindowTest, TickedEmptyAndDisabledCheckBoxesLookPlainlyDifferent) {
  test::TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  form.show();
  auto* ticked = form.findChild<QCheckBox*>("CheckBox1");
  auto* disabled = form.findChild<QCheckBox*>("IsMute");
  ticked->setChecked(true);
  disabled->setChecked(true);
  form.findChild<QCheckBox*>("IsVista")->click();
  ASSERT_FALSE(disabled->isEnabled());

  // Shares of white, dark and neutral grey pixels inside the box.
  const auto shares = [](QCheckBox* box) {
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect inner =
        box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).adjusted(2, 2, -2, -2);
    const QImage image = box->grab().toImage();
    std::array<double, 3> s{};
    for (int y = inner.top(); y <= inner.bottom(); ++y) {
      for (int x = inner.left(); x <= inner.right(); ++x) {
        const QColor c = image.pixelColor(x, y);
        const int lum = (c.red() * 30 + c.green() * 59 + c.blue() * 11) / 100;
        const bool neutral = std::abs(c.red() - c.green()) < 24 && std::abs(c.green() - c.blue()) < 24;
        s[0] += lum > 235;
        s[1] += lum < 90;
        s[2] += neutral && lum >= 110 && lum <= 200;
      }
    }
    for (double& v : s) v /= inner.width() * inner.height();
    return s;
  };
  const auto t = shares(ticked), e = shares(form.findChild<QCheckBox*>("CheckBox4")), d = shares(disabled);
  EXPECT_GT(e[0], 0.9) << "an empty box is white";
  EXPECT_EQ(e[1], 0.0);
  EXPECT_GT(t[1], 0.12) << "a ticked box shows a dark tick";
  EXPECT_GT(t[0], 0.3) << "on a white box";
  EXPECT_GT(d[2], 0.5) << "a disabled box is grey";
  EXPECT_EQ(d[0], 0.0);
  form.ExitSequence(false);
}

}  // namespace
}  // namespace wavecrate
