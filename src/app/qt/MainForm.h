// The main window: the schedule editor, the tray icon, start-up and exit.
#pragma once

#include <QMainWindow>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/Settings.h"
#include "scheduler/RecordingEvents.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;

namespace wavecrate {

class TTimeEdit;
class TUpDown;
class TPlayerHost;
class TWebBrowser;
class TSlotPlayback;
class TForm3;
class TScheduleEditor;
class TAppServices;
class TSleepWatcher;
class TRecordingDesk;
class TDeskEvents;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  // Runs the start-up sequence. `services` may be null: then nothing is
  // recorded or played (used by window-only tests).
  TForm1(const TAppPaths& paths, std::shared_ptr<TAppServices> services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The exit sequence: stop flags, settings write, tray icon removed. Runs
  // once; `interactive` is false when the session is ending (a signal), so an
  // error is logged instead of waiting on a message box nobody will answer.
  void ExitSequence(bool interactive);

  // Controls as data and back (settings file load and write).
  TSettings ReadControls() const;
  void LoadIntoControls(const TSettings& settings);

  // Save changes; returns true when it got as far as writing the settings.
  bool Button2Click();

  const TAppPaths& Paths() const { return paths_; }
  bool SettingsFileExisted() const { return settingsExisted_; }
  bool PlaybackTimersEnabled() const;
  QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
  // The tray's tip and icon, the notifications and the "Recordings" window.
  TRecordingDesk* Desk() const { return desk_; }
  TForm3* AboutBox() const { return form3_; }
  TScheduleEditor& Editor() { return *editor_; }
  // Slot n (1..4): its player (null without media) and its hidden page
  // browser, which exists only from the moment the slot's show opens its
  // link as a page until that show ends (null otherwise).
  TPlayerHost* Player(int n) const;
  TWebBrowser* PageBrowser(int n) const;
  // 1: WebBrowser, 2: WebBrowser1; null until an address of the vendor's
  // host that answers is known, and again while the host cannot be reached.
  TWebBrowser* Banner(int n) const;
  // One tick of slot n's playback timer (Timer1Timer ... Timer4Timer).
  void PlaybackTick(int n);

  // User profile: held for the whole run, shown by no control.
  std::string Gender, YearOfBirth, Country, State, PostalCode, Occupation;
  bool AutoSaving = false;
  std::array<TTimeEdit*, 8> TimeEdits{};

 signals:
  void ExitRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  void Button1Click();  // Browse
  void Button3Click();  // Close Program: hides
  void Exit1Click();
  void Help2Click();
  void About1Click();
  void MP31Click();
  void StartWithDesktop1Click(bool checked);  // Options, Start with the Desktop
  void IsVistaClick();
  void Timer5Timer();
  void UpDown5Click(bool up);
  void Label12MouseDown();
  void JoinShows1Click(bool checked);
  void Recordings1Click();  // File and tray menu, "Recordings..."

 private:
  void BuildControls();
  void BuildMenu();
  void CreateTrayIcon();
  void ShowFromTray();
  // The recordings observer, when the services have none: it keeps the
  // history and feeds the desk. Runs before the first slot thread is made.
  void InstallRecordingObserver();
  void CreatePlaybackControls(QWidget* client);
  void EnablePlaybackTimers();
  void ShowMessage(const QString& text);
  bool WriteSettingsReporting(bool interactive);
  // The computer is about to sleep / has woken up (from logind).
  void BeforeSleep();
  void AfterWake();

  TAppPaths paths_;
  std::shared_ptr<TAppServices> services_;
  std::unique_ptr<TScheduleEditor> editor_;
  bool settingsExisted_ = false;
  bool exited_ = false;

  struct TSlotRow {
    QCheckBox* OnOff = nullptr;
    QLineEdit* Url = nullptr;
    QLineEdit* Station = nullptr;
    TTimeEdit* Start = nullptr;
    TTimeEdit* Duration = nullptr;
    QComboBox* ShowName = nullptr;
    QCheckBox* Daily = nullptr;
    QCheckBox* WeekDay = nullptr;
    QCheckBox* Sat = nullptr;
    QCheckBox* Sun = nullptr;
  };
  std::array<TSlotRow, 4> rows_{};
  QLineEdit* SaveFileName = nullptr;
  QComboBox* ComboBox9 = nullptr;
  QCheckBox* IsVista = nullptr;
  QCheckBox* IsMute = nullptr;
  QLabel* Warning = nullptr;
  std::array<QTimer*, 4> playbackTimers_{};
  // What playback sees of the slots: the editor's threads.
  class TEditorSlots;
  std::unique_ptr<TEditorSlots> editorSlots_;
  // Declared after editor_, so it goes first: its lookups' answers and its
  // players refer to the slots.
  std::unique_ptr<TSlotPlayback> playback_;
  QTimer* Timer5 = nullptr;
  QAction* JoinShows1 = nullptr;  // Options, "Join Shows Already Under Way"
  TSleepWatcher* sleepWatcher_ = nullptr;
  QSystemTrayIcon* trayIcon_ = nullptr;
  TRecordingDesk* desk_ = nullptr;
  std::shared_ptr<TDeskEvents> deskEvents_;
  std::vector<TRecordingReport> interrupted_;  // found at start-up, told once the desk exists
  TForm3* form3_ = nullptr;
};

}  // namespace wavecrate
