// The main window: the schedule's controls, the menus and the tray icon.
#pragma once

#include <QMainWindow>
#include <array>
#include <memory>
#include <string>

#include "app/AppPaths.h"
#include "app/Settings.h"
#include "app/qt/MainController.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace wavecrate {

class TTimeEdit;
class TUpDown;
class TForm3;
class TRecordingDesk;

// The window: the schedule's controls, the menus and the tray icon. What the
// program does behind them is the controller's.
class TForm1 : public QMainWindow, public IScheduleView {
  Q_OBJECT
 public:
  // Builds the controls and runs the start-up sequence. `services` may be
  // null: then nothing is recorded or played (used by window-only tests).
  TForm1(const TAppPaths& paths, std::shared_ptr<TAppServices> services, QWidget* parent = nullptr);
  ~TForm1() override;

  // The controller's exit sequence; the tray icon goes once the settings are
  // written (a failed write leaves it, as the last exit step is skipped).
  void ExitSequence(bool interactive);

  // IScheduleView: controls as data and back (settings file load and write).
  TSettings ReadControls() const override;
  void LoadIntoControls(const TSettings& settings) override;
  void ShowWindow() override;
  void ShowMessage(const std::string& text) override;

  // Save changes; returns true when it got as far as writing the settings.
  bool Button2Click();

  TMainController& Controller() { return *controller_; }
  const TMainController& Controller() const { return *controller_; }
  const TAppPaths& Paths() const { return paths_; }
  QSystemTrayIcon* TrayIcon() const { return trayIcon_; }
  // The tray's tip and icon, the notifications and the "Recordings" window.
  TRecordingDesk* Desk() const { return desk_; }
  TForm3* AboutBox() const { return form3_; }

  // TimeEdits: start fields of slots 1..4, then their duration fields; the
  // up-down buttons' Tags index it.
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
  QWidget* BuildControls();
  void BuildMenu();
  void CreateTrayIcon();
  void ShowFromTray();

  TAppPaths paths_;

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
  QTimer* Timer5 = nullptr;
  QAction* JoinShows1 = nullptr;  // Options, "Join Shows Already Under Way"
  QSystemTrayIcon* trayIcon_ = nullptr;
  TRecordingDesk* desk_ = nullptr;
  TForm3* form3_ = nullptr;
  std::unique_ptr<TMainController> controller_;
};

}  // namespace wavecrate
