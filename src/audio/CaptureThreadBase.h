// What a slot thread needs of a capture thread: the fields it hands over
// before Resume, the stop flag that StopRecording raises, and the event that
// tells the slot thread the file is finished.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/RecordingFile.h"
#include "common/Event.h"
#include "common/StopFlag.h"
#include "common/Thread.h"

namespace wavecrate {

// Why a capture ended early or never began; a value, so that callers decide
// on it without reading log text.
enum class TCaptureFault {
  None,
  FolderMissing,      // the output folder does not exist
  FolderNotWritable,  // the output file cannot be created there
  NoSoundServer,      // the sound server cannot be reached
  NoDevice,           // no capture source qualifies
  NoEncoder,          // the MP3 encoder (or another element) is missing
  DiskFull,           // the disk filled up during the recording
  SizeLimit,          // the file reached the largest size its header can give
  PipelineFailed,     // the capture pipeline reported an error while running
};

// A stretch of silence inside a recording: where it begins (seconds from the
// file's start) and how long it lasts.
struct TSilentGap {
  double StartSeconds = 0;
  double Seconds = 0;
};

// How one recording ended, in words a user can act on. Valid once DoneEvent
// is signalled; the slot thread copies it into the recording's report.
struct TCaptureOutcome {
  bool Ran = false;          // the pipeline ran and audio reached the file
  bool Finished = false;     // the file got its exact header
  bool DiskFull = false;     // the disk filled up during the recording
  double Seconds = 0;        // length of the audio in the file
  double SilentSeconds = 0;  // of which silence (nothing played, or the stream was away)
  std::string Failure;       // "" when nothing went wrong
  TCaptureFault Fault = TCaptureFault::None;
  // Silent stretches of at least kReportedGapSeconds, in file order.
  std::vector<TSilentGap> Gaps;
};

// The shortest silence that a recording's outcome lists as a gap.
inline constexpr double kReportedGapSeconds = 5.0;

class TCaptureThreadBase : public TThread {
 public:
  // Set by the creator before Resume; not changed afterwards.
  std::string OutputFileName;  // UTF-8 path of the recording
  bool IsVista = false;
  bool IsMute = false;
  // The schedule slot (1..4) whose own mix is recorded when it has one;
  // 0 records the program's shared mix.
  int Slot = 0;
  // How the file is laid out; a tagged file carries Tags.
  TRecordingFileType FileType = TRecordingFileType::Wave;
  TRecordingTags Tags;

  // The outcome so far; complete once DoneEvent is signalled.
  virtual TCaptureOutcome Outcome() const { return {}; }

  // Raised (from any thread) to end the recording; raising it wakes the
  // capture, which sleeps on its own work rather than polling the flag.
  TStopFlag StopRequested;
  // Manual-reset; signalled as soon as the capture either records into its
  // file or has given up (Outcome().Fault says why), so the slot thread can
  // tell a recording that began from one that never could, at the start
  // minute. Always signalled before DoneEvent.
  TEvent StartedEvent;
  // Manual-reset; signalled on every path once the output file is finished
  // (or the capture gave up), never before.
  TEvent DoneEvent;
};

// Makes a new, not yet resumed, capture thread for one recording.
using TCaptureFactory = std::function<std::shared_ptr<TCaptureThreadBase>()>;

}  // namespace wavecrate
