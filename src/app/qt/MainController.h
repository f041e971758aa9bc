// What the program does behind its window: the start-up sequence, the
// schedule editor and its slot threads, the playback of the slots, the
// recordings history, sleep and wake, and the exit sequence. It owns no
// widget: it sees the window through IScheduleView, so the same controller can
// run with any view of the schedule.
#pragma once

#include <QObject>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppPaths.h"
#include "app/SaveChanges.h"
#include "app/Settings.h"
#include "app/TrayStatus.h"
#include "common/Clock.h"
#include "playback/WebLookups.h"
#include "scheduler/RecordingEvents.h"

class QTimer;
class QWidget;

namespace wavecrate {

class TAppServices;
class TDeskEvents;
class THousekeeper;
class TRecordingHistory;
class TPodcastShare;
class TRecordingDesk;
class TSleepWatcher;
class TSlotPlayback;

// The schedule as the user edits it.
class IScheduleView {
 public:
  virtual ~IScheduleView() = default;
  // The controls' values (the user profile, which no control shows, is left
  // as it comes) and back.
  virtual TSettings ReadControls() const = 0;
  virtual void LoadIntoControls(const TSettings& settings) = 0;
  // A settings file was found at start-up: the schedule is shown.
  virtual void ShowWindow() = 0;
  // A message the user has to acknowledge (a refused save, a failed write).
  virtual void ShowMessage(const std::string& text) = 0;
};

class TMainController : public QObject {
  Q_OBJECT
 public:
  // `services` may be null: then nothing is recorded or played (window-only
  // tests). Players and web views are made inside `playbackHost`; the view
  // and the host must outlive the controller.
  TMainController(const TAppPaths& paths, std::shared_ptr<TAppServices> services, IScheduleView& view,
                  QWidget* playbackHost);
  ~TMainController() override;

  // Loads the settings file into the view when there is one, saves them as
  // the schedule and starts the playback timers; then looks up the banners.
  void StartUp();
  // Save changes from the view; true when it got as far as writing the
  // settings. `autoSaving`: the start-up pass, whose warnings are notices.
  bool SaveChanges(bool autoSaving);
  // The exit sequence: stop flags, the captures finished, the settings
  // written. Runs once; true when the settings were written (then the tray
  // icon may go). `interactive` is false when the session is ending, so an
  // error is logged instead of waiting on a message box nobody will answer.
  bool ExitSequence(bool interactive);

  // The tray and notifications, once the window has made them (may stay
  // unset: then recordings are told only to the log and the history).
  void SetDesk(TRecordingDesk* desk);

  const TAppPaths& Paths() const { return paths_; }
  const Clock& AppClock() const;
  bool SettingsFileExisted() const { return settingsExisted_; }
  // Held for the whole run, shown by no control.
  const TUserProfile& Profile() const { return profile_; }
  TScheduleEditor& Editor() { return *editor_; }
  TSlotPlayback& Playback() { return *playback_; }
  // One tick of slot n's playback timer (Timer1Timer ... Timer4Timer).
  void PlaybackTick(int n);
  bool PlaybackTimersEnabled() const;
  // The switched-on slots' schedules, and slot n's planned end (the tray).
  TScheduledSlots ScheduledSlots() const;
  std::optional<std::int64_t> PlannedEnd(int n) const;
  void SetJoinShowsUnderWay(bool join);
  // The view's controls with the profile and the options kept outside the
  // window: what the settings file holds.
  TSettings CurrentSettings() const;
  // The recordings history the controller keeps (null when the services
  // bring an observer of their own).
  std::shared_ptr<TRecordingHistory> History() const;
  // Options, "Share Recordings as a Podcast…": loaded and stored with the
  // settings, serving from the history above.
  TPodcastShare* Podcast() const { return podcast_; }
  // Options, "Keep Recordings…": its rule is loaded and stored with the
  // settings; it keeps house at start-up and after every recording.
  THousekeeper* Housekeeper() const { return keep_; }

 private:
  // The recordings observer, when the services have none: it keeps the
  // history and feeds the desk. Runs before the first slot thread is made.
  void InstallRecordingObserver();
  void EnablePlaybackTimers();
  bool WriteSettingsReporting(bool interactive);
  // New Address: the token goes into the settings file at once.
  void StoreNewPodcastToken();
  // The computer is about to sleep / has woken up (from logind).
  void BeforeSleep();
  void AfterWake();

  TAppPaths paths_;
  std::shared_ptr<TAppServices> services_;
  IScheduleView& view_;
  TUserProfile profile_;
  std::unique_ptr<TScheduleEditor> editor_;
  bool settingsExisted_ = false;
  bool exited_ = false;
  std::array<QTimer*, 4> playbackTimers_{};
  // What playback sees of the slots: the editor's threads.
  class TEditorSlots;
  std::unique_ptr<TEditorSlots> editorSlots_;
  // Declared after editor_, so it goes first: its lookups' answers and its
  // players refer to the slots.
  std::unique_ptr<TSlotPlayback> playback_;
  TSleepWatcher* sleepWatcher_ = nullptr;
  TRecordingDesk* desk_ = nullptr;
  std::shared_ptr<TDeskEvents> deskEvents_;
  TPodcastShare* podcast_ = nullptr;
  THousekeeper* keep_ = nullptr;
  std::vector<TRecordingReport> interrupted_;  // found at start-up, told once the desk exists
};

}  // namespace wavecrate
