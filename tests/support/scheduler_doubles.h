// Stand-ins for what a slot thread reaches outside itself, for tests driven
// by TFakeClock: the capture thread (which needs a sound server and real
// time) and the advertisement step (which needs the vendor's web host and the
// media editing services). Each records what it was asked so that tests can
// check the slot thread's side of every hand-over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio/CaptureThreadBase.h"
#include "scheduler/AdvertisementStep.h"
#include "scheduler/RecodeThread.h"
#include "scheduler/RecordingEvents.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate::test {

struct TCaptureRecord {
  int Slot = 0;       // of the factory that made the capture
  int SlotField = 0;  // the capture's Slot as the slot thread set it
  std::string OutputFileName;
  bool IsVista = false;
  bool IsMute = false;
  std::int64_t StartMs = -1;  // virtual time at which the capture began
  std::int64_t StopMs = -1;   // virtual time at which it signalled DoneEvent
};

// Keeps the record of every capture that the factories made.
class TCaptureLog {
 public:
  // A capture factory for one slot thread; its captures report here.
  TCaptureFactory Factory(TFakeClock& clock, int slot);

  std::vector<TCaptureRecord> Records() const;
  // Greatest number of captures that were running at the same time.
  int MaxRunning() const;

  // While set, new captures give up at once with this reason and fault
  // (nothing recorded) instead of recording until stopped.
  void SetFailure(const std::string& failure, TCaptureFault fault = TCaptureFault::NoDevice);
  std::string Failure() const;
  TCaptureFault Fault() const;
  // A capture that records and then stops while this is set ends with this
  // fault and these silent stretches in its outcome.
  void SetEnding(TCaptureFault fault, std::vector<TSilentGap> gaps);
  void ApplyEnding(TCaptureOutcome& outcome) const;

  // Used by the captures.
  std::size_t Started(const TCaptureRecord& record);
  void Stopped(std::size_t index, std::int64_t stopMs);

 private:
  mutable std::mutex mutex_;
  std::vector<TCaptureRecord> records_;
  int running_ = 0;
  int maxRunning_ = 0;
  std::string failure_;
  TCaptureFault fault_ = TCaptureFault::None;
  TCaptureFault endingFault_ = TCaptureFault::None;
  std::vector<TSilentGap> endingGaps_;
};

// Behaves towards the slot thread as the real capture does: it starts when
// resumed, signals StartedEvent, checks its StopRequested once a second
// (through the clock, half a second into each of the slot thread's seconds)
// and signals DoneEvent once it has stopped. Its
// outcome: the virtual time it ran, all of it sound; or, when the log says
// so, a failure at once. While it runs it sleeps in the clock beside its
// slot thread, and counts itself as the clock's companion meanwhile.
class TFakeCapture final : public TCaptureThreadBase {
 public:
  TFakeCapture(TFakeClock& clock, TCaptureLog& log, int slot) : clock_(clock), log_(log), slot_(slot) {}
  // Joins before the members that Execute uses go away.
  ~TFakeCapture() override { WaitFor(); }
  TCaptureOutcome Outcome() const override;

 protected:
  void Execute() override;

 private:
  TFakeClock& clock_;
  TCaptureLog& log_;
  int slot_;
  mutable std::mutex mutex_;
  TCaptureOutcome outcome_;
};

// Keeps every recording event, in order, for the test to read.
class TRecordingEventLog final : public IRecordingEvents {
 public:
  struct TEntry {
    enum TKind { Started, Finished, Warning } Kind;
    TRecordingReport Report;  // Started and Finished
    int Slot = 0;             // Warning
    std::string Text;         // Warning
  };
  void RecordingStarted(const TRecordingReport& report) override;
  void RecordingFinished(const TRecordingReport& report) override;
  void RecordingWarning(int slot, const std::string& text) override;
  std::vector<TEntry> Entries() const;
  // The reports of finished recordings, in order.
  std::vector<TRecordingReport> Finished() const;
  // Set before the threads run: called (on the slot thread) as each Finished
  // arrives, to see what else had happened by then.
  std::function<void(const TRecordingReport&)> OnFinished;

 private:
  mutable std::mutex mutex_;
  std::vector<TEntry> entries_;
};

struct TAdCall {
  std::string RecordingFile;
  std::string AdUrl;
};

// Mixes whenever there is an address (as far as the slot thread can tell);
// may also throw, and may pause (real time) inside the step so that two slots
// calling it together would overlap.
class TFakeAdvertisementStep final : public IAdvertisementStep {
 public:
  bool Throws = false;
  std::chrono::milliseconds Pause{0};

  bool MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl) override;
  std::vector<TAdCall> Calls() const;
  // Greatest number of calls that were inside the step at the same time.
  int MaxInside() const { return maxInside_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<TAdCall> calls_;
  std::atomic<int> inside_{0};
  std::atomic<int> maxInside_{0};
};

// Does, after each step of the clock, what a slot's playback timer does at
// its ticks: once RecordingActive is seen the stream "plays"; at the end
// minute (hour and minute of EndTime), or once the clock has reached the
// recording's planned end (an end minute the clock skipped or jumped over),
// the timer calls StopRecording and clears RecordingActive, whatever the day.
class TEndMinuteStopper {
 public:
  explicit TEndMinuteStopper(const TFakeClock& clock) : clock_(clock) {}
  void Add(TRecodeThread& thread) { slots_.push_back({&thread, false}); }
  void operator()();

 private:
  struct TSlot {
    TRecodeThread* Thread;
    bool Playing;
  };
  const TFakeClock& clock_;
  std::vector<TSlot> slots_;
};

}  // namespace wavecrate::test
