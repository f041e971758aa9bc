#include "scheduler/RecodeThread.h"

#include <exception>
#include <iostream>
#include <utility>

#include "scheduler/DayCode.h"
#include "scheduler/OutputNaming.h"

namespace wavecrate {
namespace {

// The advertisement step writes fixed scratch files, and its mixed file is
// handed to the one conversion queue: two slots finishing at the same time
// must not interleave there, so the step and its hand-over run one slot at a
// time across the whole process.
std::mutex& AdvertisementMutex() {
  static std::mutex mutex;
  return mutex;
}

// The decimal number in two characters of a time text, or -1 when they are
// missing or not digits (such a slot is then never due).
int TwoDigitField(const std::string& text, std::size_t at) {
  if (text.size() < at + 2) return -1;
  const char hi = text[at];
  const char lo = text[at + 1];
  if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return -1;
  return (hi - '0') * 10 + (lo - '0');
}

// Minutes since 1970 of a local time: equal for two times exactly when they
// fall in the same minute of the same day.
std::int64_t MinuteIndex(const TLocalTime& t) {
  return SecondsFromCivil(t) / 60;
}

}  // namespace

TRecodeThread::TRecodeThread(Clock& clock, TCaptureFactory captureFactory, IAdvertisementStep& ad,
                             IMp3JobQueue* mp3Thread, std::string programFolder)
    : clock_(clock),
      captureFactory_(std::move(captureFactory)),
      ad_(ad),
      mp3Thread_(mp3Thread),
      programFolder_(std::move(programFolder)),
      settings_(std::make_shared<const TSlotSettings>()) {}

TRecodeThread::~TRecodeThread() {
  StopRequested.store(true);
  {
    // A capture that this thread is about to publish is stopped by the thread
    // itself once it sees destroying_ (see Record).
    std::lock_guard<std::mutex> lock(mutex_);
    destroying_ = true;
    if (captureThread_) captureThread_->StopRequested.store(true);
  }
  // Execute uses this object's members: it must be over before they go.
  WaitFor();
}

void TRecodeThread::SetSettings(const TSlotSettings& settings) {
  auto record = std::make_shared<const TSlotSettings>(settings);
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = std::move(record);
}

std::shared_ptr<const TSlotSettings> TRecodeThread::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void TRecodeThread::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto record = std::make_shared<TSlotSettings>(*settings_);
  record->Enabled = enabled;
  settings_ = std::move(record);
}

void TRecodeThread::StopRecording() {
  std::shared_ptr<TCaptureThreadBase> capture = CaptureThread();
  if (capture) capture->StopRequested.store(true);
}

std::shared_ptr<TCaptureThreadBase> TRecodeThread::CaptureThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captureThread_;
}

std::string TRecodeThread::OutputFileName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputFileName_;
}

std::string TRecodeThread::BuildOutputFileName(const std::string& showName, const std::string& fileNameFormat,
                                               const TLocalTime& date) const {
  return wavecrate::BuildOutputFileName(Settings()->SaveFolder, showName, fileNameFormat, date);
}

bool TRecodeThread::IsDue(const TSlotSettings& settings, const TLocalTime& now) const {
  if (!settings.Enabled) return false;
  if (now.Hour != TwoDigitField(settings.StartTime, 0)) return false;
  if (!IsScheduledToday(settings.DayFlags, now.DayOfWeek)) return false;
  if (now.Minute != TwoDigitField(settings.StartTime, 3)) return false;
  // A recording that ended inside its own start minute must not start again
  // in that minute; the date is part of the comparison, so the same minute
  // on a later day is due again.
  return !lastEndMinute_ || *lastEndMinute_ != MinuteIndex(now);
}

void TRecodeThread::Execute() {
  RecordingActive.store(false);
  lastEndMinute_.reset();
  while (!StopRequested.load()) {
    // The start minute's first check follows the clock's second boundary by
    // a few milliseconds, and the whole record is read once per cycle, so a
    // save from the editor never mixes old and new fields in one recording.
    const TLocalTime now = clock_.Now();
    const std::shared_ptr<const TSlotSettings> settings = Settings();
    if (IsDue(*settings, now)) {
      if (StopRequested.load()) break;
      Record(*settings, now);
      continue;
    }
    clock_.SleepUntilNextSecond();
  }
}

void TRecodeThread::Record(const TSlotSettings& settings, const TLocalTime& now) {
  const std::string output = wavecrate::BuildOutputFileName(settings.SaveFolder, Trim(settings.ShowName),
                                                            settings.FileNameFormat, now);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputFileName_ = output;
  }

  std::shared_ptr<TCaptureThreadBase> capture;
  try {
    capture = captureFactory_();
  } catch (const std::exception& e) {
    std::cerr << "wavecrate: cannot create the capture for " << output << ": " << e.what() << '\n';
  }
  if (!capture) {
    // Nothing was recorded; treat the minute as used so that a failing
    // capture is not retried every second of it.
    std::cerr << "wavecrate: no capture for " << output << '\n';
    lastEndMinute_ = MinuteIndex(clock_.Now());
    return;
  }
  capture->OutputFileName = output;
  capture->IsVista = settings.IsVista;
  capture->IsMute = settings.IsMute;

  // The capture is published before RecordingActive rises: once the playback
  // timer can see the recording, StopRecording reaches this capture and not
  // the previous one, so an early stop is never lost (a stop flag raised
  // before Resume makes the capture end at once).
  std::shared_ptr<TCaptureThreadBase> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::exchange(captureThread_, capture);
    if (destroying_) capture->StopRequested.store(true);
  }
  previous.reset();  // joins the finished thread of the last recording, outside the lock

  RecordingActive.store(true);
  capture->Resume();
  capture->DoneEvent.WaitFor();

  RunAdvertisementStep(settings, output);

  RecordingActive.store(false);
  lastEndMinute_ = MinuteIndex(clock_.Now());
}

void TRecodeThread::RunAdvertisementStep(const TSlotSettings& settings, const std::string& outputFileName) {
  std::lock_guard<std::mutex> lock(AdvertisementMutex());
  try {
    std::string mixedFile;
    if (!ad_.MixAdWithRecording(outputFileName, settings.AdUrl, mixedFile)) return;
    if (mixedFile.empty()) mixedFile = programFolder_ + "/TempOutput.avi";
    if (mp3Thread_ == nullptr) {
      std::cerr << "wavecrate: no conversion queue; " << mixedFile << " is not converted\n";
      return;
    }
    mp3Thread_->AddJob(TMp3Job{mixedFile, outputFileName + ".bak"});
  } catch (const std::exception& e) {
    // The raw capture stays where it is and the slot goes on being watched.
    std::cerr << "wavecrate: advertisement step failed for " << outputFileName << ": " << e.what() << '\n';
  } catch (...) {
    std::cerr << "wavecrate: advertisement step failed for " << outputFileName << '\n';
  }
}

}  // namespace wavecrate
