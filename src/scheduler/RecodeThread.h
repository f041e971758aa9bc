// One slot's scheduler thread: watches the clock once a second and, when the
// slot is due, runs one recording from capture to hand-over.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/CaptureThreadBase.h"
#include "audio/Mp3JobQueue.h"
#include "common/Clock.h"
#include "common/Thread.h"
#include "scheduler/AdvertisementStep.h"
#include "scheduler/SlotSettings.h"

namespace wavecrate {

class TRecodeThread : public TThread {
 public:
  // Everything the thread reaches outside itself. The references must outlive
  // the thread.
  TRecodeThread(Clock& clock, TCaptureFactory captureFactory, IAdvertisementStep& ad, IMp3JobQueue* mp3Thread,
                std::string programFolder);
  ~TRecodeThread() override;

  // Editor side (GUI thread). The record is replaced whole.
  void SetSettings(const TSlotSettings& settings);
  std::shared_ptr<const TSlotSettings> Settings() const;
  // Switches the slot off (or on) without touching anything else of the record.
  void SetEnabled(bool enabled);

  // Raises the current capture thread's stop flag, if there is one. Never waits.
  void StopRecording();

  std::atomic<bool> StopRequested{false};
  // True from just before a capture starts until the recording is handed on;
  // also cleared by the playback timer at the end minute.
  std::atomic<bool> RecordingActive{false};

  // The capture thread of the current or last recording (null before the first).
  std::shared_ptr<TCaptureThreadBase> CaptureThread() const;
  // Output path of the recording in progress or the last one.
  std::string OutputFileName() const;

  // Folder + template expanded for the given date + ".mp3".
  std::string BuildOutputFileName(const std::string& showName, const std::string& fileNameFormat,
                                  const TLocalTime& date) const;

 protected:
  void Execute() override;

 private:
  // Implemented in RecodeThread.cpp.
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace wavecrate
