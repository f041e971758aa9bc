// What the user sees of recordings without the window: the tray icon and its
// tip, the notifications as a real notification daemon (python-dbusmock, on a
// private session bus) receives them, the history file and the "Recordings"
// window, through recordings that real slot threads make on the fake clock.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QUrl>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "LogindTestSupport.h"
#include "app/RecordingHistory.h"
#include "app/SaveChanges.h"
#include "app/qt/AppServices.h"
#include "app/qt/DesktopNotifier.h"
#include "app/qt/HeadlessView.h"
#include "app/qt/Housekeeper.h"
#include "app/qt/MainController.h"
#include "app/qt/MainForm.h"
#include "app/qt/RecordingDesk.h"
#include "app/qt/RecordingsForm.h"
#include "audio/RecordingFile.h"
#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"
#include "common/ProgramFolders.h"
#include "scheduler/DiskSpace.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {

// Takes the addresses the window hands to the desktop's default applications.
class TUrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> Opened;
 public slots:
  void Open(const QUrl& url) { Opened.push_back(url); }
};

namespace {

using namespace std::chrono_literals;
using test::TPrivateNotifications;

bool Pump(const std::function<bool()>& ready) {
  return test::WaitUntil(
      [&] {
        QCoreApplication::processEvents();
        return ready();
      },
      10000ms);
}

QString Tip(const TForm1& form) {
  return form.TrayIcon()->toolTip();
}

// The tray menu's first line, which says what the tip's status says.
QString MenuStatus(const TForm1& form) {
  const QAction* line = form.TrayIcon()->contextMenu()->actions().value(0);
  return line != nullptr && !line->isEnabled() ? line->text() : "(no status line)";
}

// The tray icon's variant while recording carries a red dot.
bool RedDot(const TForm1& form) {
  const QColor c = form.TrayIcon()->icon().pixmap(64, 64).toImage().pixelColor(47, 47);
  return c.red() > 180 && c.blue() < 90;
}

TEST(DeskTest, RecordingsShowInTheTrayAreNotifiedKeptAndListed) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  ASSERT_TRUE(TPrivateNotifications::Ready());
  test::TScopedTimeZone utc("UTC");
  test::TempDir dir;
  SetProgramFolders(PortableFolders(dir.File("wavecrate")));
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  const std::string rec = dir.File("rec");
  std::filesystem::create_directory(rec);
  test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 8, 29, 50));  // Saturday
  test::TCaptureLog captures;
  auto services = std::make_shared<TAppServices>();
  services->AppClock = &clock;
  services->CaptureFactory = captures.Factory(clock, 0);
  services->ProgramFolder = dir.Path().string();
  // 8:30 for two minutes; 8:40 for a minute; and a show under way, 8:00 to 8:45.
  test::WriteFile(paths.SettingsPath,
                  "[User]\nURL1=http://127.0.0.1:9/a\nCheck1=1\nStartTime1=08:30:00 AM\nEndTime1=00:02:00\n"
                  "ShowName1=  Other Music\nStation1=WXYZ\nDaily1=1\n"
                  "URL2=http://127.0.0.1:9/b\nCheck2=1\nStartTime2=08:40:00 AM\nEndTime2=00:01:00\n"
                  "ShowName2=  Other Sports\nDaily2=1\n"
                  "URL3=http://127.0.0.1:9/c\nCheck3=1\nStartTime3=08:00:00 AM\nEndTime3=00:45:00\n"
                  "ShowName3=  Other Talk\nDaily3=1\n[System]\nSaveFilePath=" +
                      rec + "/\n");
  TForm1 form(paths, services);
  struct TReleaseClock {
    test::TFakeClock& Clock;
    ~TReleaseClock() { Clock.ReleaseAll(); }
  } release{clock};
  // Nothing has been told to the window yet: the tip says what is next.
  EXPECT_EQ(Tip(form), "Wavecrate\nNext: Other Music, Sat 8:30 AM");
  EXPECT_EQ(MenuStatus(form), "Next: Other Music, Sat 8:30 AM");
  EXPECT_FALSE(RedDot(form));

  test::TEndMinuteStopper stopper(clock);
  for (int n = 1; n <= 3; ++n) stopper.Add(*form.Controller().Editor().RecodeThreads(n));
  const auto step = [&] {
    stopper();
    QCoreApplication::processEvents();
  };
  clock.SetParticipants(3);
  const std::int64_t base = test::TFakeClock::At(2008, 1, 5, 8, 30, 5);
  ASSERT_TRUE(clock.RunUntil(base, step, 1000));
  ASSERT_TRUE(Pump([&] { return TPrivateNotifications::Sent().size() >= 2; }));
  EXPECT_EQ(Tip(form), "Wavecrate\nRecording Other Music until 8:32 AM (+1 more)");
  EXPECT_EQ(MenuStatus(form), "Recording Other Music until 8:32 AM (+1 more)");
  EXPECT_TRUE(RedDot(form));
  auto sent = TPrivateNotifications::Sent();
  EXPECT_EQ(sent[0].Summary, "Joined Other Talk late");
  EXPECT_EQ(
      sent[0].Body,
      "It began at 8:00 AM, 30 min ago; recording the rest until 8:45 AM, into Other Talk-01-05-2008.mp3.");
  EXPECT_EQ(sent[1].Summary, "Recording Other Music");
  EXPECT_EQ(sent[1].Body, "WXYZ, until 8:32 AM, into Other Music-01-05-2008.mp3.");
  EXPECT_EQ(sent[1].Hints.value("desktop-entry").toString(), "example.wavecrate.Recorder");
  EXPECT_EQ(sent[1].Timeout, -1) << "the server's own time-out: nothing waits for a click";

  services->Events->RecordingWarning(1, *LowDiskWarning(rec, "Other Music", 300u << 20, 10u << 20));
  ASSERT_TRUE(Pump([&] { return TPrivateNotifications::Sent().size() >= 3; }));
  EXPECT_EQ(TPrivateNotifications::Sent()[2].Summary, "Recording may fail");
  EXPECT_EQ(TPrivateNotifications::Sent()[2].Body.left(8), "Only 10 ");

  captures.SetEnding(TCaptureFault::None, {{20.0, 7.0}, {61.0, 34.0}});
  ASSERT_TRUE(clock.RunUntil(base + 2 * 60'000, step, 1000));
  captures.SetEnding(TCaptureFault::None, {});
  ASSERT_TRUE(Pump([&] { return TPrivateNotifications::Sent().size() >= 4; }));
  EXPECT_EQ(TPrivateNotifications::Sent()[3].Summary, "Recorded Other Music");
  EXPECT_EQ(TPrivateNotifications::Sent()[3].Body, "Other Music-01-05-2008.mp3 (2 min).");
  EXPECT_EQ(Tip(form), "Wavecrate\nRecording Other Talk until 8:45 AM");

  // As the capture words a missing folder: told at the start minute, and
  // never as recording.
  captures.SetFailure("the folder " + rec + "/gone does not exist", TCaptureFault::FolderMissing);
  ASSERT_TRUE(clock.RunUntil(test::TFakeClock::At(2008, 1, 5, 8, 40, 1), step, 1000));
  ASSERT_TRUE(Pump([&] { return TPrivateNotifications::Sent().size() >= 5; }));
  sent = TPrivateNotifications::Sent();
  EXPECT_EQ(sent[4].Summary, "Other Sports could not be recorded");
  EXPECT_EQ(sent[4].Body, QString::fromStdString("The folder " + rec + "/gone does not exist."));
  EXPECT_EQ(sent[4].Icon, "dialog-warning");
  EXPECT_EQ(Tip(form), "Wavecrate\nRecording Other Talk until 8:45 AM");
  ASSERT_TRUE(clock.RunUntil(base + 10 * 60'000, step, 1000));
  QCoreApplication::processEvents();
  EXPECT_EQ(TPrivateNotifications::Sent().size(), 5) << "nothing more of the failed recording";
  captures.SetFailure("");
  ASSERT_TRUE(clock.RunUntil(base + 15 * 60'000, step, 1000));
  ASSERT_TRUE(Pump([&] { return !form.Desk()->Recording(); }));
  EXPECT_EQ(Tip(form), "Wavecrate\nNext: Other Talk, Sun 8:00 AM");
  EXPECT_FALSE(RedDot(form));

  // The history in the state folder: one record per recording.
  const auto history = ReadRecentRecordings(HistoryPathFor(dir.Path().string(), paths.ExePath), 100);
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[0].Report.ShowName, "Other Sports");
  EXPECT_EQ(history[0].Report.Result, TRecordingResult::Failed);
  EXPECT_EQ(history[0].Report.Reason, "the folder " + rec + "/gone does not exist");
  EXPECT_EQ(history[1].Report.Station, "WXYZ");
  EXPECT_EQ(history[1].Report.Result, TRecordingResult::Recorded);
  EXPECT_NEAR(history[1].Report.ActualLength, 120, 2);
  EXPECT_TRUE(history[2].Report.Joined);
  EXPECT_EQ(history[2].Report.ScheduledStart, test::TFakeClock::At(2008, 1, 5, 8, 0, 0) / 1000);
  EXPECT_EQ(history[2].Report.Result, TRecordingResult::Recorded);

  // The tray's menu, and the "Recordings" window it opens.
  QMenu* menu = form.TrayIcon()->contextMenu();
  ASSERT_NE(menu, nullptr);
  QStringList items;
  for (QAction* a : menu->actions()) {
    if (!a->isSeparator()) items << a->text();
  }
  EXPECT_EQ(items, QStringList({"Next: Other Talk, Sun 8:00 AM", "Show Window",
                                QString::fromUtf8("Recordings\u2026"), "Recording Quality", "Exit"}));
  form.hide();
  menu->findChild<QAction*>("TrayShowWindow")->trigger();
  EXPECT_TRUE(form.isVisible());
  menu->findChild<QAction*>("TrayRecordings")->trigger();
  TRecordingsForm* window = form.Desk()->RecordingsWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  ASSERT_TRUE(Pump([&] { return !window->Loading(); }));
  QTableWidget* table = window->Table();
  ASSERT_EQ(table->rowCount(), 3);
  EXPECT_EQ(table->item(0, 1)->text(), "Other Sports");
  EXPECT_EQ(table->item(0, 6)->text(), "Failed");
  EXPECT_EQ(table->item(0, 5)->text(), "");
  EXPECT_EQ(table->item(1, 1)->text(), "Other Music");
  EXPECT_EQ(table->item(1, 0)->text(), "Sat 2008-01-05 8:30 AM");
  EXPECT_EQ(table->item(1, 5)->text(), "2 gaps, 41 s");
  EXPECT_EQ(table->item(1, 5)->toolTip(), "0:20 (7 s), 1:01 (34 s)");
  EXPECT_EQ(table->item(2, 6)->text(), "Recorded (joined late)");

  TUrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "Open");
  table->selectRow(1);
  window->findChild<QPushButton*>("OpenFile")->click();
  window->findChild<QPushButton*>("OpenFolder")->click();
  table->selectRow(0);  // its file was never made
  EXPECT_FALSE(window->findChild<QPushButton*>("OpenFile")->isEnabled());
  QDesktopServices::unsetUrlHandler("file");
  // With nothing to open it (offscreen, no handler), the window says so.
  table->selectRow(1);
  window->findChild<QPushButton*>("OpenFile")->click();
  auto* notOpened = window->findChild<QMessageBox*>("FileNotOpened");
  ASSERT_NE(notOpened, nullptr);
  EXPECT_TRUE(notOpened->isVisible());
  EXPECT_TRUE(notOpened->text().endsWith("Other Music-01-05-2008.mp3")) << notOpened->text().toStdString();
  notOpened->close();
  ASSERT_EQ(catcher.Opened.size(), 2u);
  EXPECT_EQ(catcher.Opened[0],
            QUrl::fromLocalFile(QString::fromStdString(rec + "/Other Music-01-05-2008.mp3")));
  EXPECT_EQ(catcher.Opened[1], QUrl::fromLocalFile(QString::fromStdString(rec)));

  // A notification service that fails: the tray's balloon takes the notice.
  ASSERT_TRUE(TPrivateNotifications::BreakNotify(true));
  std::vector<std::string> balloons;
  form.Desk()->Notifier()->Fallback = [&](const TNotice& n) { balloons.push_back(n.Title); };
  services->Events->RecordingWarning(1, "too little room");
  EXPECT_TRUE(Pump([&] { return !balloons.empty(); }));
  EXPECT_TRUE(TPrivateNotifications::BreakNotify(false));

  QSignalSpy exits(&form, &TForm1::ExitRequested);
  menu->findChild<QAction*>("TrayExit")->trigger();
  EXPECT_EQ(exits.count(), 1) << "Exit in the tray ends the program as File, Exit does";
  form.ExitSequence(false);
}

// The program's recordings, known from its history, among files it did not
// make; the desktop's trash in the test's own data folder.
TEST(DeskTest, KeepRecordingsMovesOnlyTheProgramsOwnOlderFilesToTheTrashAndSaysSo) {
  ASSERT_TRUE(test::TPrivateLogind::Ready());
  ASSERT_TRUE(TPrivateNotifications::Ready());
  test::TScopedTimeZone utc("UTC");
  test::TempDir dir;
  // The home trash serves files on the home's own disk.
  struct TScopedHome {
    QByteArray Home = qgetenv("HOME");
    ~TScopedHome() {
      qputenv("HOME", Home);
      qunsetenv("XDG_DATA_HOME");
    }
  } home;
  qputenv("HOME", dir.Path().string().c_str());
  qputenv("XDG_DATA_HOME", dir.File("data").c_str());
  SetProgramFolders(PortableFolders(dir.File("wavecrate")));
  const TAppPaths paths = TAppPaths::ForExecutable(dir.File("wavecrate"));
  const std::string rec = dir.File("rec") + "/";
  std::filesystem::create_directory(rec);
  const std::int64_t now = test::TFakeClock::At(2008, 1, 5, 8, 29, 50);
  {
    TRecordingHistory history(HistoryPathFor(dir.Path().string(), paths.ExePath));
    const auto recorded = [&](const std::string& show, int daysAgo, const std::string& file) {
      test::WriteFile(rec + file, std::string(1000 + daysAgo, 'x'));
      TRecordingReport r;
      r.Slot = show == "Talk" ? 1 : 2;
      r.ShowName = show;
      r.File = rec + file;
      r.ActualStart = r.ScheduledStart = now / 1000 - daysAgo * 86400;
      r.ScheduledLength = 3600;
      r.Result = TRecordingResult::Recorded;
      THistoryRecord record{THistoryRecord::TEvent::Finished, RecordingId(r), r};
      record.FileSize = static_cast<std::int64_t>(std::filesystem::file_size(rec + file));
      ASSERT_TRUE(history.Append(record, false));
    };
    recorded("Talk", 20, "Talk-12-16-2007.mp3");
    recorded("Talk", 16, "Talk-12-20-2007.mp3");
    recorded("Talk", 1, "Talk-01-04-2008.mp3");
    recorded("Music", 11, "Music-12-25-2007.mp3");
    recorded("Music", 2, "Music-01-03-2008.mp3");
    recorded("Music", 1, "Music-01-04-2008.mp3");
  }
  // Tagged by the user since; and files the program never made.
  std::ofstream(rec + "Talk-12-20-2007.mp3", std::ios::app) << "TAG";
  test::WriteFile(rec + "Talk-12-01-2007.mp3", "not ours");
  test::WriteFile(rec + "notes.txt", "not ours either");
  test::WriteFile(paths.SettingsPath,
                  "[System]\nSaveFilePath=" + rec + "\n[Options]\nKeepRecordings=7 days\n");

  test::TFakeClock clock(now);
  auto services = std::make_shared<TAppServices>();
  services->AppClock = &clock;
  services->ProgramFolder = dir.Path().string();
  const std::filesystem::path trash = dir.Path() / "data" / "Trash";
  const auto names = [](const std::filesystem::path& folder) {
    std::set<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(folder)) found.insert(e.path().filename());
    return found;
  };
  const auto inTrash = [&] { return names(dir.Path() / "data" / "Trash" / "files"); };
  const auto inFolder = [&] { return names(rec); };
  {
    // Headless, as on a home server: at start-up, under the saved rule.
    THeadlessView view;
    QWidget host;
    TMainController controller(paths, services, view, &host);
    QSignalSpy passes(controller.Housekeeper(), &THousekeeper::Done);
    controller.StartUp();
    ASSERT_TRUE(Pump([&] { return passes.count() == 1; }));
    EXPECT_EQ(passes[0][0].toInt(), 2);
    EXPECT_EQ(inTrash(), (std::set<std::string>{"Talk-12-16-2007.mp3", "Music-12-25-2007.mp3"}));
    EXPECT_TRUE(std::filesystem::exists(dir.Path() / "data/Trash/info/Talk-12-16-2007.mp3.trashinfo"));
    EXPECT_EQ(inFolder(),
              (std::set<std::string>{"Talk-12-20-2007.mp3", "Talk-01-04-2008.mp3", "Music-01-03-2008.mp3",
                                     "Music-01-04-2008.mp3", "Talk-12-01-2007.mp3", "notes.txt"}));
    const auto history = ReadRecentRecordings(HistoryPathFor(dir.Path().string(), paths.ExePath), 100);
    ASSERT_EQ(history.size(), 6u);
    for (const THistoryRecord& r : history) {
      const bool moved =
          r.Report.File == rec + "Talk-12-16-2007.mp3" || r.Report.File == rec + "Music-12-25-2007.mp3";
      EXPECT_EQ(r.TrashedAt, moved ? now / 1000 : 0) << r.Report.File;
    }
    // And again after a recording.
    TRecordingReport today;
    today.Slot = 1;
    today.ShowName = "Talk";
    today.File = rec + "Talk-01-05-2008.mp3";
    today.ActualStart = today.ScheduledStart = now / 1000 - 60;
    today.ScheduledLength = 60;
    today.Result = TRecordingResult::Recorded;
    test::WriteFile(today.File, std::string(500, 'x'));
    services->Events->RecordingFinished(today);
    ASSERT_TRUE(Pump([&] { return passes.count() == 2; }));
    EXPECT_EQ(passes[1][0].toInt(), 0);
    controller.ExitSequence(false);
  }
  services->Events = nullptr;  // the next controller keeps the history anew
  {
    TForm1 form(paths, services);
    THousekeeper* keeper = form.Controller().Housekeeper();
    QSignalSpy passes(keeper, &THousekeeper::Done);
    ASSERT_TRUE(Pump([&] { return passes.count() == 1; }));
    EXPECT_EQ(passes[0][0].toInt(), 0);
    form.Desk()->ShowRecordings();
    TRecordingsForm* window = form.Desk()->RecordingsWindow();
    ASSERT_TRUE(Pump([&] { return !window->Loading(); }));
    ASSERT_EQ(window->Table()->rowCount(), 7);
    EXPECT_EQ(window->Table()->item(4, 6)->text(), "Recorded, moved to the trash Sat 2008-01-05 8:29 AM");
    EXPECT_EQ(window->Table()->item(3, 6)->text(), "Recorded");

    // Options, Keep Recordings: the last one of each show from now on.
    form.findChild<QAction*>("KeepRecordings1")->trigger();
    TKeepRecordingsDialog* dialog = keeper->Dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->findChild<QRadioButton*>("KeepDays")->isChecked());
    EXPECT_EQ(dialog->findChild<QSpinBox*>("KeepDaysCount")->value(), 7);
    dialog->findChild<QRadioButton*>("KeepPerShow")->click();
    dialog->findChild<QSpinBox*>("KeepPerShowCount")->setValue(1);
    dialog->findChild<QPushButton*>("OkButton")->click();
    ASSERT_TRUE(Pump([&] { return passes.count() == 2; }));
    EXPECT_EQ(passes[1][0].toInt(), 2);
    EXPECT_EQ(inTrash().count("Music-01-03-2008.mp3"), 1u);
    EXPECT_EQ(inFolder(),
              (std::set<std::string>{"Talk-12-20-2007.mp3", "Talk-01-05-2008.mp3", "Music-01-04-2008.mp3",
                                     "Talk-12-01-2007.mp3", "notes.txt"}));
    form.ExitSequence(false);
  }
  EXPECT_NE(test::ReadFile(paths.SettingsPath).find("KeepRecordings=1 per show"), std::string::npos);
}

// Save as Tagged MP3: the copies hold the WAVE recordings' own MP3 frames
// (nothing encoded anew) behind the tags, and nothing existing is replaced.
TEST(RecordingsWindow, TaggedCopiesKeepTheFramesGetTheTagsAndNeverReplaceAFile) {
  test::TempDir dir;
  const std::string show = dir.File("Talk-03-07-2026.mp3");
  // A WAVE recording as the program writes it, of 30 s (a stream of ten
  // seconds of tone repeated, through the program's own WAV writer).
  ASSERT_TRUE(RegisterWavDestFilter());
  GstElement* pipeline = gst_parse_launch(
      ("audiotestsrc num-buffers=1292 samplesperbuffer=1024 freq=440 ! audio/x-raw,rate=44100,channels=2 ! "
       "lamemp3enc target=bitrate bitrate=128 cbr=true ! wavecratewavdest ! filesink location=\"" +
       show + "\"")
          .c_str(),
      nullptr);
  ASSERT_NE(pipeline, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* end = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
  gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  // A file of the copy's first name is there already and stays as it is.
  test::WriteFile(dir.File("Talk-03-07-2026 (tagged).mp3"), "not ours");

  TRecordingHistory history(dir.File("history.jsonl"));
  THistoryRecord record;
  record.Event = THistoryRecord::TEvent::Finished;
  record.Report.Slot = 1;
  record.Report.ShowName = "Talk";
  record.Report.Station = "WXYZ";
  record.Report.StreamUrl = "http://127.0.0.1:8000/talk";
  record.Report.File = show;
  record.Report.ScheduledStart = record.Report.ActualStart = 1772872200;  // 2026-03-07 08:30 UTC
  record.Report.Result = TRecordingResult::Recorded;
  record.Id = RecordingId(record.Report);
  ASSERT_TRUE(history.Append(record, false));
  record.Report.File = dir.File("gone.mp3");
  record.Report.ActualStart += 3600;
  record.Id = RecordingId(record.Report);
  ASSERT_TRUE(history.Append(record, false));

  TRecordingsForm window(history.Path());
  window.show();
  ASSERT_TRUE(Pump([&] { return !window.Loading(); }));
  ASSERT_EQ(window.Table()->rowCount(), 2);
  window.Table()->selectAll();
  QSignalSpy done(&window, &TRecordingsForm::CopiesDone);
  auto* progress = window.findChild<QProgressBar*>("TaggedProgress");
  ASSERT_NE(progress, nullptr);
  window.findChild<QPushButton*>("SaveTagged")->click();
  EXPECT_TRUE(progress->isVisible());
  ASSERT_TRUE(Pump([&] { return done.count() == 1; }));
  EXPECT_FALSE(progress->isVisible());
  const QStringList written = done.at(0).at(0).toStringList(), failed = done.at(0).at(1).toStringList();
  const std::string copy = dir.File("Talk-03-07-2026 (tagged) (2).mp3");
  ASSERT_EQ(written, QStringList{QString::fromStdString(copy)});
  ASSERT_EQ(failed.size(), 1);
  EXPECT_TRUE(failed[0].contains("gone.mp3")) << failed[0].toStdString();
  EXPECT_EQ(test::ReadFile(dir.File("Talk-03-07-2026 (tagged).mp3")), "not ours");
  EXPECT_FALSE(std::filesystem::exists(dir.File("gone (tagged).mp3")));

  // The same frames: the copy's audio after its Xing frame is the WAVE
  // file's data chunk byte for byte.
  const auto source = LocateMpegStream(show);
  const auto tagged = LocateMpegStream(copy);
  ASSERT_TRUE(source && tagged);
  EXPECT_EQ(tagged->Type, TRecordingFileType::Tagged);
  const std::string wave = test::ReadFile(show), out = test::ReadFile(copy);
  const std::string frames = wave.substr(source->Begin, source->End - source->Begin);
  ASSERT_GT(out.size(), frames.size());
  EXPECT_TRUE(out.compare(out.size() - frames.size(), frames.size(), frames) == 0)
      << "the copy's frames differ from the recording's";
  TXingCounts counts(copy);
  ASSERT_TRUE(counts.Count());
  EXPECT_NEAR(counts.Seconds() - counts.FrameSeconds(), 30.0, 0.1);
  // Read back by readers of their own.
  const std::string probed =
      test::Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 \"" + copy + "\"");
  EXPECT_NEAR(std::atof(probed.c_str()), 30.0, 0.1) << probed;
  const std::string said = test::Shell(
      "/usr/bin/python3 -c 'import sys, mutagen.mp3 as m\nf = m.MP3(sys.argv[1])\nprint(f.tags.version, "
      "f.info.length)\nfor k in sorted(f.tags.keys()): print(\"%s=%s\" % (k, f.tags[k]))' \"" +
      copy + "\" 2>&1");
  EXPECT_NE(said.find("TIT2=Talk 03-07-2026"), std::string::npos) << said;
  EXPECT_NE(said.find("TPE1=WXYZ"), std::string::npos) << said;
  EXPECT_NE(said.find("TCON=Speech"), std::string::npos) << said;
  EXPECT_NE(said.find("http://127.0.0.1:8000/talk"), std::string::npos) << said;
}

}  // namespace
}  // namespace wavecrate

#include "desk_test.moc"
