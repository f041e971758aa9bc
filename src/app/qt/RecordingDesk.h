// What the user sees of the recordings without opening the window: the tray
// icon (a variant while any slot records) and its tip, the desktop's
// notifications, and the "Recordings" window over the history.
//
// TDeskEvents is the program's one observer of the slot threads. On the
// calling slot thread it writes the log line and the history record, so both
// are on disk before the capture runs and are written even when the window
// is busy or the program is on its way out; then it hands the event to the
// GUI thread (queued), where TRecordingDesk updates the tray, sends the
// notification and refreshes an open "Recordings" window.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/RecordingHistory.h"
#include "app/TrayStatus.h"
#include "app/qt/RecordingsForm.h"
#include "common/Clock.h"
#include "scheduler/RecordingEvents.h"
#include "scheduler/RecordingLog.h"

class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace wavecrate {

class TDesktopNotifier;

class TRecordingDesk : public QObject {
  Q_OBJECT
 public:
  struct TSources {
    const Clock* AppClock = &SystemClock();
    // The slots as handed to the slot threads now.
    std::function<TScheduledSlots()> Schedule;
    // The planned end of slot n's recording in progress, when its thread knows
    // it (a save may have moved it since the start).
    std::function<std::optional<std::int64_t>(int slot)> PlannedEnd;
    std::string HistoryPath;
  };

  // `windowParent` owns the "Recordings" window (made on first use).
  TRecordingDesk(QSystemTrayIcon* tray, std::string title, TSources sources, QWidget* windowParent);

  // The events, on the GUI thread.
  void Started(const TRecordingReport& report);
  void Finished(const TRecordingReport& report);
  void Warning(int slot, const std::string& text);
  // From playback: slot n's stream is heard, or a new show begins in it and
  // nothing is heard yet. Once told about a slot, the desk says "Recording"
  // only when its stream is heard, and "Waiting for …" when a recording
  // begins without it for a few seconds.
  void StreamHeard(int slot, bool heard);

  // Tip and icon from what records now, the schedule and the clock. Runs on
  // every event, every half minute and whenever the schedule is saved.
  void RefreshTray();
  // The tip's status line as it is now.
  std::string Status() const;
  bool Recording() const { return !recording_.empty(); }
  // The shows (as their recordings name them) that a slot thread records
  // now, including one whose capture is only starting.
  std::set<std::string> ShowsBeingRecorded() const;
  const TSources& Sources() const { return sources_; }

  void ShowRecordings();
  TRecordingsForm* RecordingsWindow() const { return recordings_; }
  TDesktopNotifier* Notifier() const { return notifier_; }

  static QIcon IdleIcon();
  static QIcon RecordingIcon();

 private:
  QPointer<QSystemTrayIcon> tray_;
  std::string title_;
  TSources sources_;
  QWidget* windowParent_;
  TDesktopNotifier* notifier_;
  QTimer* refresh_;
  QPointer<TRecordingsForm> recordings_;
  std::map<int, TRecordingNow> recording_;  // by slot
  std::map<int, bool> heard_;               // by slot, once playback told
  struct TPendingStart {
    TRecordingReport Report;
    std::uint64_t Serial = 0;
  };
  std::map<int, TPendingStart> pendingStart_;  // started, stream not heard yet
  std::uint64_t serial_ = 0;
};

class TDeskEvents final : public IRecordingEvents {
 public:
  // `history` may be null (no history kept).
  explicit TDeskEvents(std::shared_ptr<TRecordingHistory> history);

  // GUI thread: where events go from now on; null to drop them (the window is
  // going away).
  void SetDesk(TRecordingDesk* desk);
  // GUI thread: called on the GUI thread after each finished recording, once
  // the desk has heard of it (with or without a desk); empty for none.
  void SetOnFinished(std::function<void()> onFinished);

  void RecordingStarted(const TRecordingReport& report) override;
  void RecordingFinished(const TRecordingReport& report) override;
  void RecordingWarning(int slot, const std::string& text) override;

  // The history's writer (null when none is kept).
  const std::shared_ptr<TRecordingHistory>& History() const { return history_; }

 private:
  void Record(THistoryRecord::TEvent event, const TRecordingReport& report);

  // Read and written on the GUI thread only.
  struct TMailbox {
    TRecordingDesk* Desk = nullptr;
    std::function<void()> OnFinished;
  };
  void Post(std::function<void(TMailbox&)> call);

  std::shared_ptr<TMailbox> mailbox_ = std::make_shared<TMailbox>();
  std::shared_ptr<TRecordingHistory> history_;
  TRecordingLog log_;
};

}  // namespace wavecrate
