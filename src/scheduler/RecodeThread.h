// One slot's scheduler thread: watches the clock once a second and, when a
// show of its slot is due (on time or late, see Occurrence.h), runs one
// recording from capture to hand-over and reports it. The thread ends its
// own capture at the show's planned end, so a window that is slow to tick
// never makes a recording longer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/CaptureThreadBase.h"
#include "audio/EncoderSettings.h"
#include "common/Clock.h"
#include "common/Thread.h"
#include "scheduler/AdvertisementStep.h"
#include "scheduler/Occurrence.h"
#include "scheduler/RecordingEvents.h"
#include "scheduler/SlotSettings.h"

namespace wavecrate {

class TRecodeThread : public TThread {
 public:
  // Everything the thread reaches outside itself; the references must outlive
  // the thread. `ad` may be shared by several slot threads: its step runs one
  // slot at a time.
  TRecodeThread(Clock& clock, TCaptureFactory captureFactory, IAdvertisementStep& ad);
  // Raises StopRequested, stops a capture in progress and waits for Execute
  // to return (the clock must keep running for that).
  ~TRecodeThread() override;

  // Editor side (GUI thread). The record is replaced whole; the thread reads
  // it once per watch cycle, so a recording always uses one record, old or
  // new. Settings() is never null (all fields empty, switched off, until the
  // first SetSettings).
  void SetSettings(const TSlotSettings& settings);
  std::shared_ptr<const TSlotSettings> Settings() const;
  // Switches the slot off (or on) without touching anything else of the record.
  void SetEnabled(bool enabled);
  // Changes only the record's JoinUnderWay.
  void SetJoinUnderWay(bool join);
  // Changes only the record's AdUrl, and only while the record is for
  // `showName`: the web service's answer for a show the slot no longer has
  // is dropped.
  void SetAdUrl(const std::string& showName, const std::string& adUrl);
  // Asks the thread to start its show at its next look at the clock if the
  // show is under way (and joining is on): the program started, the computer
  // woke up, or the schedule was saved. Set the record first.
  void RequestJoin();

  // Raises the current capture thread's stop flag, if there is one. Never
  // waits. The thread stops its capture itself at the planned end; this ends
  // one earlier (a call at the end as well does no harm).
  void StopRecording();

  std::atomic<bool> StopRequested{false};
  // True from just before a capture starts until the recording is handed on;
  // also cleared by the playback timer at the end minute.
  std::atomic<bool> RecordingActive{false};
  // Called on this thread right after RecordingActive rises (the capture is
  // starting), so the window can make the slot's stream audible at once
  // rather than at its next timer tick. Set before Resume; may be empty.
  std::function<void()> OnRecordingActive;
  // Set before Resume. The slot's number (1..4), handed to each capture and
  // put in each report; and who is told about every recording (may be null).
  int Slot = 0;
  std::shared_ptr<IRecordingEvents> Events;
  // Set before Resume. The free bytes on the disk of a folder (nullopt when
  // unknown), and the encoder settings a recording will be made with; they
  // decide whether a recording is warned about as too big for its disk.
  std::function<std::optional<std::uint64_t>(const std::string& folder)> FreeBytes;
  std::function<TEncoderSettings()> EncoderSettingsSource;
  // Set before Resume. The file type each new recording is written as; the
  // default follows the program's choice (RecordingFileTypeChoice).
  std::function<TRecordingFileType()> FileTypeSource;

  // The capture thread of the current or last recording (null before the first).
  std::shared_ptr<TCaptureThreadBase> CaptureThread() const;
  // Output path of the recording in progress or the last one.
  std::string OutputFileName() const;
  // While a recording runs (joined ones too): the instant (seconds since
  // 1970, UTC) at which its show ends, that is, when the clock first reaches
  // the end minute after the show's scheduled start; on a day without a
  // clock change that is the scheduled start plus the duration, and on a
  // daylight-saving day it is the same minute the clock shows, or the jump
  // over it when the clock skips it. The thread ends the recording then,
  // also when the end minute never shows on the clock (a skipped hour, a
  // clock step, a wake after the end). nullopt when no recording runs or
  // the end is not known. The end follows the record as it is now, so a save
  // that moves the end minute of a show in progress moves this end too.
  std::optional<std::int64_t> PlannedEndUnix() const;

  // SaveFolder of the current record + template expanded for the given date +
  // ".mp3" (see OutputNaming.h; the show name is used as given).
  std::string BuildOutputFileName(const std::string& showName, const std::string& fileNameFormat,
                                  const TLocalTime& date) const;

 protected:
  void Execute() override;

 private:
  // One pass from the capture's start to the hand-over of the finished file.
  void Record(const TSlotSettings& settings, const TLocalTime& now, const TOccurrence& occurrence);
  void WarnIfTheDiskIsSmall(const TSlotSettings& settings, const TRecordingReport& report,
                            std::int64_t remainingSeconds);
  // Waits (bounded) until the resumed capture records into its file or has
  // given up; false when it gave up, its file finished with nothing in it.
  bool CaptureBegan(TCaptureThreadBase& capture);
  // Ends the capture at the planned end (the scheduled end when the record no
  // longer gives one) unless it ended before, and returns once it is done.
  void WaitForTheEnd(TCaptureThreadBase& capture, std::int64_t scheduledEndUnix);
  // The report's result, reason and lengths from the capture's outcome.
  void Judge(TRecordingReport& report, const TCaptureOutcome& outcome);
  void RunAdvertisementStep(const TSlotSettings& settings, const std::string& outputFileName);

  Clock& clock_;
  TCaptureFactory captureFactory_;
  IAdvertisementStep& ad_;

  // Guards the members below it, which the GUI thread reads and writes while
  // this thread runs.
  mutable std::mutex mutex_;
  std::shared_ptr<const TSlotSettings> settings_;
  std::shared_ptr<TCaptureThreadBase> captureThread_;
  std::string outputFileName_;
  bool destroying_ = false;

  std::atomic<bool> joinRequested_{false};
  // The scheduled start (seconds since 1970, UTC) of the recording in
  // progress; kNoRecording between recordings.
  static constexpr std::int64_t kNoRecording = std::numeric_limits<std::int64_t>::min();
  std::atomic<std::int64_t> scheduledStart_{kNoRecording};

  // Touched by this thread only.
  TOccurrenceWatch watch_;
};

}  // namespace wavecrate
