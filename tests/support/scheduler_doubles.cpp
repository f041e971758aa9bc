#include "support/scheduler_doubles.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

namespace wavecrate::test {

TCaptureFactory TCaptureLog::Factory(TFakeClock& clock, int slot) {
  return [&clock, this, slot]() -> std::shared_ptr<TCaptureThreadBase> {
    return std::make_shared<TFakeCapture>(clock, *this, slot);
  };
}

std::vector<TCaptureRecord> TCaptureLog::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

int TCaptureLog::MaxRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maxRunning_;
}

void TCaptureLog::SetFailure(const std::string& failure, TCaptureFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  failure_ = failure;
  fault_ = failure.empty() ? TCaptureFault::None : fault;
}

std::string TCaptureLog::Failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

TCaptureFault TCaptureLog::Fault() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fault_;
}

void TCaptureLog::SetEnding(TCaptureFault fault, std::vector<TSilentGap> gaps) {
  std::lock_guard<std::mutex> lock(mutex_);
  endingFault_ = fault;
  endingGaps_ = std::move(gaps);
}

void TCaptureLog::ApplyEnding(TCaptureOutcome& outcome) const {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome.Fault = endingFault_;
  outcome.Gaps = endingGaps_;
  for (const TSilentGap& gap : endingGaps_) outcome.SilentSeconds += gap.Seconds;
}

std::size_t TCaptureLog::Started(const TCaptureRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(record);
  maxRunning_ = std::max(maxRunning_, ++running_);
  return records_.size() - 1;
}

void TCaptureLog::Stopped(std::size_t index, std::int64_t stopMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_[index].StopMs = stopMs;
  --running_;
}

void TFakeCapture::Execute() {
  TCaptureRecord record;
  record.Slot = slot_;
  record.SlotField = Slot;
  record.OutputFileName = OutputFileName;
  record.IsVista = IsVista;
  record.IsMute = IsMute;
  record.StartMs = clock_.NowMs();
  const std::size_t index = log_.Started(record);
  TCaptureOutcome outcome;
  outcome.Failure = log_.Failure();
  outcome.Fault = log_.Fault();
  if (!outcome.Failure.empty()) {
    // Gave up before recording anything.
    log_.Stopped(index, clock_.NowMs());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      outcome_ = outcome;
    }
    StartedEvent.SetEvent();
    DoneEvent.SetEvent();
    return;
  }
  // Counted before the slot thread can go to sleep in the clock beside it.
  clock_.AddCompanions(1);
  StartedEvent.SetEvent();
  // Looks at its stop flag once a second, half a second out of step with the
  // slot thread's looks, so that which of the two sees a stop first never
  // depends on how the threads are scheduled.
  clock_.SleepFor(std::chrono::milliseconds(500));
  while (!StopRequested.load()) clock_.SleepFor(std::chrono::milliseconds(1000));
  outcome.Ran = true;
  outcome.Finished = true;
  outcome.Seconds = static_cast<double>(clock_.NowMs() - record.StartMs) / 1000.0;
  log_.ApplyEnding(outcome);
  log_.Stopped(index, clock_.NowMs());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outcome_ = outcome;
  }
  DoneEvent.SetEvent();
  // Only now: the clock must not count the system idle while the slot
  // thread could still miss DoneEvent.
  clock_.AddCompanions(-1);
}

TCaptureOutcome TFakeCapture::Outcome() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcome_;
}

void TRecordingEventLog::RecordingStarted(const TRecordingReport& report) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({TEntry::Started, report, report.Slot, ""});
}

void TRecordingEventLog::RecordingFinished(const TRecordingReport& report) {
  if (OnFinished) OnFinished(report);
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({TEntry::Finished, report, report.Slot, ""});
}

void TRecordingEventLog::RecordingWarning(int slot, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({TEntry::Warning, {}, slot, text});
}

std::vector<TRecordingEventLog::TEntry> TRecordingEventLog::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<TRecordingReport> TRecordingEventLog::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TRecordingReport> finished;
  for (const TEntry& e : entries_) {
    if (e.Kind == TEntry::Finished) finished.push_back(e.Report);
  }
  return finished;
}

bool TFakeAdvertisementStep::MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl) {
  const int inside = ++inside_;
  int seen = maxInside_.load();
  while (inside > seen && !maxInside_.compare_exchange_weak(seen, inside)) {
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({recordingFile, adUrl});
  }
  if (Pause.count() > 0) std::this_thread::sleep_for(Pause);
  --inside_;
  if (Throws) throw std::runtime_error("cannot write the scratch file");
  return !adUrl.empty();
}

std::vector<TAdCall> TFakeAdvertisementStep::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void TEndMinuteStopper::operator()() {
  const TLocalTime now = clock_.Now();
  for (TSlot& slot : slots_) {
    TRecodeThread& thread = *slot.Thread;
    if (!slot.Playing) {
      slot.Playing = thread.RecordingActive.load();
      continue;
    }
    const std::string end = thread.Settings()->EndTime;
    const std::optional<std::int64_t> plannedEnd = thread.PlannedEndUnix();
    if ((end.size() >= 5 && now.Hour == std::stoi(end.substr(0, 2)) &&
         now.Minute == std::stoi(end.substr(3, 2))) ||
        (plannedEnd && now.UnixSeconds >= *plannedEnd)) {
      thread.StopRecording();
      thread.RecordingActive.store(false);
      slot.Playing = false;
    }
  }
}

}  // namespace wavecrate::test
