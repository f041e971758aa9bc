#include "app/qt/RecordingDesk.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/RecordingNotices.h"
#include "app/qt/DesktopNotifier.h"
#include "app/qt/RecordingsForm.h"
#include "scheduler/OutputNaming.h"

namespace wavecrate {
namespace {

// The tip's "Next" moves on as time passes even when nothing happens.
constexpr int kRefreshMs = 30000;
// A recording whose stream is not heard this long after its start is told
// as waiting for it.
constexpr int kWaitBeforeTelling = 4000;

}  // namespace

QIcon TRecordingDesk::IdleIcon() {
  static const QIcon icon(":/icon.png");
  return icon;
}

QIcon TRecordingDesk::RecordingIcon() {
  static const QIcon icon(":/icon-recording.png");
  return icon;
}

TRecordingDesk::TRecordingDesk(QSystemTrayIcon* tray, std::string title, TSources sources,
                               QWidget* windowParent)
    : QObject(windowParent),
      tray_(tray),
      title_(std::move(title)),
      sources_(std::move(sources)),
      windowParent_(windowParent),
      notifier_(new TDesktopNotifier(tray, this)),
      refresh_(new QTimer(this)) {
  setObjectName("RecordingDesk");
  refresh_->setInterval(kRefreshMs);
  connect(refresh_, &QTimer::timeout, this, &TRecordingDesk::RefreshTray);
  refresh_->start();
}

void TRecordingDesk::Started(const TRecordingReport& report) {
  recording_[report.Slot] =
      TRecordingNow{report.Slot, report.ShowName, report.ScheduledStart + report.ScheduledLength};
  RefreshTray();
  const auto heard = heard_.find(report.Slot);
  if (heard == heard_.end() || heard->second) {
    notifier_->Notify(StartedNotice(report));
  } else {
    // The stream may come within a second or two of the minute; only a
    // longer wait is worth a notice of its own.
    const std::uint64_t serial = ++serial_;
    pendingStart_[report.Slot] = TPendingStart{report, serial};
    QTimer::singleShot(kWaitBeforeTelling, this, [this, slot = report.Slot, serial] {
      const auto pending = pendingStart_.find(slot);
      if (pending != pendingStart_.end() && pending->second.Serial == serial) {
        notifier_->Notify(WaitingNotice(pending->second.Report));
      }
    });
  }
  if (recordings_ && recordings_->isVisible()) recordings_->Reload();
}

void TRecordingDesk::StreamHeard(int slot, bool heard) {
  heard_[slot] = heard;
  if (!heard) return;
  const auto pending = pendingStart_.find(slot);
  if (pending == pendingStart_.end()) return;
  notifier_->Notify(StartedNotice(pending->second.Report));
  pendingStart_.erase(pending);
}

void TRecordingDesk::Finished(const TRecordingReport& report) {
  recording_.erase(report.Slot);
  pendingStart_.erase(report.Slot);
  RefreshTray();
  notifier_->Notify(FinishedNotice(report));
  if (recordings_ && recordings_->isVisible()) recordings_->Reload();
}

void TRecordingDesk::Warning(int /*slot*/, const std::string& text) {
  notifier_->Notify(WarningNotice(text));
}

std::set<std::string> TRecordingDesk::ShowsBeingRecorded() const {
  std::set<std::string> shows;
  for (const auto& [slot, r] : recording_) shows.insert(r.ShowName);
  // A slot thread knows its planned end from the moment its capture starts,
  // before the desk hears of the recording.
  if (sources_.PlannedEnd && sources_.Schedule)
    shows.merge(ShowsWithPlannedEnd(sources_.Schedule(), sources_.PlannedEnd));
  return shows;
}

std::string TRecordingDesk::Status() const {
  std::vector<TRecordingNow> now;
  for (const auto& [slot, r] : recording_) {
    TRecordingNow shown = r;
    if (sources_.PlannedEnd) {
      if (const std::optional<std::int64_t> end = sources_.PlannedEnd(slot)) shown.EndUnix = *end;
    }
    now.push_back(shown);
  }
  std::optional<TNextShow> next;
  if (now.empty() && sources_.Schedule)
    next = NextShow(sources_.Schedule(), sources_.AppClock->Now().UnixSeconds);
  return TrayStatusText(now, next);
}

void TRecordingDesk::RefreshTray() {
  if (!tray_) return;
  const std::string status = Status();
  tray_->setToolTip(QString::fromStdString(TrayToolTip(title_, status)));
  // The menu's first line says the same, uncut; a "&" of a show name is
  // shown as such, not taken for a shortcut mark.
  if (QMenu* menu = tray_->contextMenu()) {
    if (auto* line = menu->findChild<QAction*>("TrayStatus"))
      line->setText(QString::fromStdString(status).replace('&', "&&"));
  }
  tray_->setIcon(recording_.empty() ? IdleIcon() : RecordingIcon());
}

void TRecordingDesk::ShowRecordings() {
  if (!recordings_) recordings_ = new TRecordingsForm(sources_.HistoryPath, windowParent_);
  if (recordings_->isVisible()) recordings_->Reload();
  recordings_->showNormal();
  recordings_->raise();
  recordings_->activateWindow();
}

TDeskEvents::TDeskEvents(std::shared_ptr<TRecordingHistory> history) : history_(std::move(history)) {}

void TDeskEvents::SetDesk(TRecordingDesk* desk) {
  mailbox_->Desk = desk;
}

void TDeskEvents::SetOnFinished(std::function<void()> onFinished) {
  mailbox_->OnFinished = std::move(onFinished);
}

void TDeskEvents::Record(THistoryRecord::TEvent event, const TRecordingReport& report) {
  if (!history_) return;
  std::string error;
  THistoryRecord record{event, RecordingId(report), report};
  // The size the file was left with tells the housekeeping later whether it
  // is still the program's own recording.
  std::error_code sizeError;
  if (event == THistoryRecord::TEvent::Finished && !report.File.empty() &&
      std::filesystem::is_regular_file(report.File, sizeError))
    record.FileSize = static_cast<std::int64_t>(std::filesystem::file_size(report.File, sizeError));
  if (sizeError) record.FileSize = -1;
  // A finished record is made durable at once; a started one only needs to
  // outlive the program (kill -9), which the system's cache does, and a
  // flush here would hold up the capture's start on a slow disk.
  if (!history_->Append(record, event == THistoryRecord::TEvent::Finished, &error)) {
    std::fprintf(stderr, "wavecrate: the recordings history %s cannot be written: %s\n",
                 history_->Path().c_str(), error.c_str());
  }
}

void TDeskEvents::RecordingStarted(const TRecordingReport& report) {
  log_.RecordingStarted(report);
  Record(THistoryRecord::TEvent::Started, report);
  Post([report](TMailbox& m) {
    if (m.Desk) m.Desk->Started(report);
  });
}

void TDeskEvents::RecordingFinished(const TRecordingReport& report) {
  const TRecordingReport judged = JudgedBySilence(report);
  log_.RecordingFinished(judged);
  Record(THistoryRecord::TEvent::Finished, judged);
  Post([judged](TMailbox& m) {
    if (m.Desk) m.Desk->Finished(judged);
    if (m.OnFinished) m.OnFinished();
  });
}

void TDeskEvents::RecordingWarning(int slot, const std::string& text) {
  log_.RecordingWarning(slot, text);
  Post([slot, text](TMailbox& m) {
    if (m.Desk) m.Desk->Warning(slot, text);
  });
}

void TDeskEvents::Post(std::function<void(TMailbox&)> call) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  QMetaObject::invokeMethod(
      app, [mailbox = mailbox_, call = std::move(call)] { call(*mailbox); }, Qt::QueuedConnection);
}

}  // namespace wavecrate
