#include "support/scheduler_doubles.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <thread>

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
  record.OutputFileName = OutputFileName;
  record.IsVista = IsVista;
  record.IsMute = IsMute;
  record.StartMs = clock_.NowMs();
  const std::size_t index = log_.Started(record);
  while (!StopRequested.load()) clock_.SleepFor(std::chrono::milliseconds(1000));
  log_.Stopped(index, clock_.NowMs());
  DoneEvent.SetEvent();
}

void TRecordingMp3Queue::AddJob(TMp3Job job) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
}

std::vector<TMp3Job> TRecordingMp3Queue::Jobs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_;
}

bool TFakeAdvertisementStep::MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl,
                                                std::string& mixedFile) {
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
  if (!Result || adUrl.empty()) return false;
  mixedFile = MixedFile;
  return true;
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
    if (end.size() >= 5 && now.Hour == std::stoi(end.substr(0, 2)) &&
        now.Minute == std::stoi(end.substr(3, 2))) {
      thread.StopRecording();
      thread.RecordingActive.store(false);
      slot.Playing = false;
    }
  }
}

}  // namespace wavecrate::test
