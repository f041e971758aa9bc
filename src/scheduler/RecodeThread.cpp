#include "scheduler/RecodeThread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <utility>

#include "scheduler/DiskSpace.h"
#include "scheduler/OutputNaming.h"

namespace wavecrate {
namespace {

// The advertisement step writes a fixed scratch file (the downloaded clip):
// two slots finishing at the same time must not interleave there, so the
// step runs one slot at a time across the whole process.
std::mutex& AdvertisementMutex() {
  static std::mutex mutex;
  return mutex;
}

// A recording shorter than what was left of its show by more than this was
// cut short (the capture stops within a second or two of the end minute).
constexpr double kCutShortSeconds = 60;

// A recording file with no more than this holds at most its header.
constexpr std::uintmax_t kHeaderOnlyBytes = 1024;

// How long a capture may take to say that it records (or gave up), and how
// often the slot thread looks meanwhile.
constexpr std::chrono::milliseconds kCaptureStartBound{5000};
constexpr std::chrono::milliseconds kCaptureStartPoll{20};

// What a capture's fault means to the user, for a capture that gave no
// words of its own (and always for the two that end a recording full).
std::string FaultReason(TCaptureFault fault) {
  switch (fault) {
    case TCaptureFault::None:
      return "";
    case TCaptureFault::FolderMissing:
      return "The recording's folder does not exist.";
    case TCaptureFault::FolderNotWritable:
      return "The recording's file cannot be written in its folder.";
    case TCaptureFault::NoSoundServer:
      return "The sound server cannot be reached.";
    case TCaptureFault::NoDevice:
      return "No sound source to record from was found.";
    case TCaptureFault::NoEncoder:
      return "The MP3 encoder is missing.";
    case TCaptureFault::DiskFull:
      return "The disk filled up during the recording.";
    case TCaptureFault::SizeLimit:
      return "The recording reached the largest size a WAVE file can hold.";
    case TCaptureFault::PipelineFailed:
      return "The capture failed during the recording.";
  }
  return "The capture failed.";
}

// An observer is somebody else's code: whatever it throws must not end the
// slot thread, which still has a file to finish and a slot to watch.
template <typename F>
void Notify(const std::shared_ptr<IRecordingEvents>& events, F call) {
  if (!events) return;
  try {
    call(*events);
  } catch (const std::exception& e) {
    std::cerr << "wavecrate: a recording event was not delivered: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "wavecrate: a recording event was not delivered\n";
  }
}

void RemoveIfEmpty(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) == 0 && !ec) std::filesystem::remove(path, ec);
}

}  // namespace

TRecodeThread::TRecodeThread(Clock& clock, TCaptureFactory captureFactory, IAdvertisementStep& ad)
    : FreeBytes(FreeBytesIn),
      EncoderSettingsSource([] { return LoadEncoderSettings(); }),
      FileTypeSource([] { return RecordingFileTypeChoice(); }),
      clock_(clock),
      captureFactory_(std::move(captureFactory)),
      ad_(ad),
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

void TRecodeThread::SetJoinUnderWay(bool join) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto record = std::make_shared<TSlotSettings>(*settings_);
  record->JoinUnderWay = join;
  settings_ = std::move(record);
}

void TRecodeThread::SetAdUrl(const std::string& showName, const std::string& adUrl) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (settings_->ShowName != showName || settings_->AdUrl == adUrl) return;
  auto record = std::make_shared<TSlotSettings>(*settings_);
  record->AdUrl = adUrl;
  settings_ = std::move(record);
}

void TRecodeThread::RequestJoin() {
  joinRequested_.store(true);
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

std::optional<std::int64_t> TRecodeThread::PlannedEndUnix() const {
  const std::int64_t start = scheduledStart_.load();
  if (start == kNoRecording) return std::nullopt;
  const std::optional<TShowTimes> times = ShowTimesOf(*Settings());
  if (!times) return std::nullopt;
  return NextInstantAtMinute(start, (times->StartMinute + times->LengthMinutes) % (24 * 60));
}

std::string TRecodeThread::BuildOutputFileName(const std::string& showName, const std::string& fileNameFormat,
                                               const TLocalTime& date) const {
  return wavecrate::BuildOutputFileName(Settings()->SaveFolder, showName, fileNameFormat, date);
}

void TRecodeThread::Execute() {
  RecordingActive.store(false);
  while (!StopRequested.load()) {
    // The start minute's first check follows the clock's second boundary by
    // a few milliseconds, and the whole record is read once per cycle, so a
    // save from the editor never mixes old and new fields in one recording.
    // A join request is read before the record: the editor raises it after
    // replacing the record, so the request is always judged on the new one.
    const bool joinRequested = joinRequested_.exchange(false);
    const TLocalTime now = clock_.Now();
    const std::shared_ptr<const TSlotSettings> settings = Settings();
    if (const std::optional<TOccurrence> occurrence = watch_.Check(*settings, now, joinRequested)) {
      if (StopRequested.load()) break;
      Record(*settings, now, *occurrence);
      continue;
    }
    clock_.SleepUntilNextSecond();
  }
}

void TRecodeThread::Record(const TSlotSettings& settings, const TLocalTime& now,
                           const TOccurrence& occurrence) {
  TRecordingReport report;
  report.Slot = Slot;
  report.ShowName = Trim(settings.ShowName);
  report.Station = settings.Station;
  report.StreamUrl = settings.StreamUrl;
  report.ScheduledStart = occurrence.StartUnix;
  report.ScheduledLength = occurrence.EndUnix - occurrence.StartUnix;
  report.ActualStart = now.UnixSeconds;
  report.Joined = occurrence.Joined;

  // Named after the start's date, also for a show joined after midnight, and
  // never over a file that is already there.
  const TClaimedFile claimed = ClaimOutputFile(wavecrate::BuildOutputFileName(
      SaveFolderPrefix(settings.SaveFolder), report.ShowName, settings.FileNameFormat, occurrence.Date));
  const std::string& output = claimed.Path;
  report.File = output;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputFileName_ = output;
  }
  WarnIfTheDiskIsSmall(settings, report, occurrence.EndUnix - now.UnixSeconds);

  std::shared_ptr<TCaptureThreadBase> capture;
  std::string why = "no capture is available";
  try {
    capture = captureFactory_();
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (!capture) {
    // Nothing was recorded, and nothing is told as recording: the failure
    // alone, at the start minute. The occurrence still counts as recorded,
    // so a failing capture is not retried every second of its minute.
    std::cerr << "wavecrate: cannot create the capture for " << output << ": " << why << '\n';
    report.Result = TRecordingResult::Failed;
    report.Reason = "The recording could not be started: " + why + ".";
    Notify(Events, [&](IRecordingEvents& e) { e.RecordingFinished(report); });
    if (claimed.Created) RemoveIfEmpty(output);
    return;
  }
  capture->OutputFileName = output;
  capture->IsVista = settings.IsVista;
  capture->IsMute = settings.IsMute;
  capture->Slot = Slot;
  capture->FileType = FileTypeSource ? FileTypeSource() : TRecordingFileType::Wave;
  capture->Tags = MakeRecordingTags(report.ShowName, report.Station, report.StreamUrl, occurrence.Date, now);

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

  scheduledStart_.store(occurrence.StartUnix);
  RecordingActive.store(true);
  if (OnRecordingActive) OnRecordingActive();
  capture->Resume();
  // Told once the capture records, so that its Finished can never come
  // first, and never for a capture that could not start: that one is told
  // as failed at once rather than as recording until the end minute.
  if (CaptureBegan(*capture)) Notify(Events, [&](IRecordingEvents& e) { e.RecordingStarted(report); });
  WaitForTheEnd(*capture, occurrence.EndUnix);

  TCaptureOutcome outcome = capture->Outcome();
  if (!outcome.Ran && outcome.Failure.empty() && outcome.Fault == TCaptureFault::None) {
    // A capture that tells nothing of how it went (no failure, yet nothing
    // ran): judge by the file, which holds more than a header once sound
    // reached it, and by the clock.
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(output, ec);
    if (!ec && size > kHeaderOnlyBytes) {
      outcome.Ran = true;
      outcome.Finished = true;
      outcome.Seconds = static_cast<double>(clock_.Now().UnixSeconds - report.ActualStart);
    }
  }
  if (!outcome.Ran && claimed.Created) RemoveIfEmpty(output);
  Judge(report, outcome);

  // The step may put a clip in front of the recording, in place: the
  // finished notice, which offers the file, waits for it. A recording that
  // kept nothing gets no clip.
  if (outcome.Ran) RunAdvertisementStep(settings, output);
  Notify(Events, [&](IRecordingEvents& e) { e.RecordingFinished(report); });

  RecordingActive.store(false);
  scheduledStart_.store(kNoRecording);
}

bool TRecodeThread::CaptureBegan(TCaptureThreadBase& capture) {
  // Real time: the capture builds its pipeline in real time whatever clock
  // the schedule follows. A capture that never says it began is taken as
  // recording once the bound has passed, so that nothing hangs on it.
  const auto deadline = std::chrono::steady_clock::now() + kCaptureStartBound;
  while (!capture.StartedEvent.WaitFor(kCaptureStartPoll) && !capture.DoneEvent.IsSet()) {
    if (std::chrono::steady_clock::now() >= deadline) return true;
  }
  const TCaptureOutcome outcome = capture.Outcome();
  if (outcome.Ran) return true;
  if (!capture.DoneEvent.IsSet()) {
    if (outcome.Fault == TCaptureFault::None) return true;  // records, not yet said so
    // Gave up: its file is being closed.
    capture.DoneEvent.WaitFor(kCaptureStartBound);
  }
  return capture.Outcome().Ran;
}

void TRecodeThread::WaitForTheEnd(TCaptureThreadBase& capture, std::int64_t scheduledEndUnix) {
  // The thread ends its own capture at the planned end instant, to the
  // millisecond, whatever the window does meanwhile; the end is read again at
  // each look, so a save that moves it is followed. The capture may end
  // before (a stop from the window or at exit, a failure): the thread looks
  // at it once a second. Every sleep goes through the clock, so the end is
  // met also after the clock was stepped or the machine slept.
  bool stopped = false;
  while (!capture.DoneEvent.IsSet()) {
    const TLocalTime now = clock_.Now();
    const std::int64_t nowMs = now.UnixSeconds * 1000 + now.Millisecond;
    std::int64_t wakeMs = (nowMs / 1000 + 1) * 1000;
    if (!stopped) {
      const std::int64_t endMs = PlannedEndUnix().value_or(scheduledEndUnix) * 1000;
      if (nowMs >= endMs) {
        capture.StopRequested.store(true);
        stopped = true;
      } else {
        wakeMs = std::min(wakeMs, endMs);
      }
    }
    clock_.SleepFor(std::chrono::milliseconds(wakeMs - nowMs));
  }
}

void TRecodeThread::WarnIfTheDiskIsSmall(const TSlotSettings& settings, const TRecordingReport& report,
                                         std::int64_t remainingSeconds) {
  if (!FreeBytes) return;
  std::string folder = std::filesystem::path(report.File).parent_path().string();
  if (folder.empty()) folder = ".";
  const std::optional<std::uint64_t> available = FreeBytes(folder);
  if (!available) return;  // the capture will say what is wrong with the folder
  const TEncoderSettings encoder = EncoderSettingsSource ? EncoderSettingsSource() : TEncoderSettings{};
  // The advertisement step writes the mixed recording beside the raw one
  // before it replaces it.
  const std::uint64_t needed = RecordingBytesNeeded(encoder, remainingSeconds, !settings.AdUrl.empty());
  if (const std::optional<std::string> text = LowDiskWarning(folder, report.ShowName, needed, *available)) {
    Notify(Events, [&](IRecordingEvents& e) { e.RecordingWarning(Slot, *text); });
  }
}

void TRecodeThread::Judge(TRecordingReport& report, const TCaptureOutcome& outcome) {
  report.ActualLength = outcome.Seconds;
  report.SilentSeconds = outcome.SilentSeconds;
  report.Gaps = outcome.Gaps;
  // What was left of the show when the recording began, as the record now
  // says (a save may have moved the end while it ran).
  const std::optional<std::int64_t> plannedEnd = PlannedEndUnix();
  const double planned =
      static_cast<double>(plannedEnd ? *plannedEnd - report.ActualStart
                                     : report.ScheduledStart + report.ScheduledLength - report.ActualStart);
  const double missing = planned - outcome.Seconds;
  const std::string faultReason = FaultReason(outcome.Fault);
  if (!outcome.Ran) {
    report.Result = TRecordingResult::Failed;
    report.Reason = !outcome.Failure.empty() ? outcome.Failure
                    : !faultReason.empty()   ? faultReason
                                             : "No sound reached the file.";
  } else if (outcome.DiskFull || outcome.Fault == TCaptureFault::DiskFull ||
             outcome.Fault == TCaptureFault::SizeLimit) {
    // These two have words of their own, whatever the capture logged.
    report.Result = TRecordingResult::Incomplete;
    report.Reason =
        outcome.Fault == TCaptureFault::SizeLimit ? faultReason : FaultReason(TCaptureFault::DiskFull);
  } else if (outcome.Fault != TCaptureFault::None || !outcome.Failure.empty()) {
    report.Result = TRecordingResult::Incomplete;
    report.Reason = !outcome.Failure.empty() ? outcome.Failure : faultReason;
  } else if (!outcome.Finished) {
    report.Result = TRecordingResult::Incomplete;
    report.Reason = "The end of the file could not be written.";
  } else if (missing > kCutShortSeconds) {
    report.Result = TRecordingResult::Incomplete;
    report.Reason = "The recording stopped " +
                    std::to_string(static_cast<long long>(std::ceil(missing / 60))) +
                    " min before the end of the show.";
  } else {
    report.Result = TRecordingResult::Recorded;
    report.Reason.clear();
  }
}

void TRecodeThread::RunAdvertisementStep(const TSlotSettings& settings, const std::string& outputFileName) {
  std::lock_guard<std::mutex> lock(AdvertisementMutex());
  try {
    // The step says itself why a clip was not put in front.
    ad_.MixAdWithRecording(outputFileName, settings.AdUrl);
  } catch (const std::exception& e) {
    // The raw capture stays where it is and the slot goes on being watched.
    std::cerr << "wavecrate: advertisement step failed for " << outputFileName << ": " << e.what() << '\n';
  } catch (...) {
    std::cerr << "wavecrate: advertisement step failed for " << outputFileName << '\n';
  }
}

}  // namespace wavecrate
