// TAudioCaptureThread: records one show from the sound server into the
// output file, as an MP3 stream inside a RIFF WAVE file.
//
//   pulsesrc "Source" -> audio/x-raw,S16LE,2 ch,44100 Hz -> audiorate
//     -> MP3 encoder "MP3" -> WAV writer "Mux" -> filesink "Writer"
//
// The pipeline runs on the system clock, so pulsesrc stamps its buffers with
// the time that really passed, and audiorate fills every gap with silence:
// a recording lasts as long as the clock says even when the sound server
// delivers less (an idle monitor does) or stalls for a while.
//
// A slot's recording records the slot's own mix, and follows the slot when
// its sound moves to the shared mix and back (the source is swapped, and
// muting moves to the loopback that now carries the sound); it also leaves
// the fallback (the user's sink) once the program's own mix is back.
//
// When the sound server goes away during a recording, the file keeps what
// was recorded, and the capture starts a new source once the server and the
// mix are back (TRecordingMixer::ServerGeneration), with the time in between
// as silence. Any other error of the pipeline ends the capture at once: a
// full disk, the file reaching the largest size its header can give, a
// write that failed. The file's header is then set to the bytes on disk,
// Outcome() gives the fault and its reason, DoneEvent is signalled.
// WriteHeaderNow makes the file's header exact at once while the recording
// goes on (before the computer sleeps). At the stop the file is finished
// (end-of-stream, so the writer writes the exact header) within a bounded
// wait; it ends at the stop's instant, with the sound up to it.
//
// StartedEvent is signalled once the pipeline runs with its file open, or
// at once when the capture cannot start (output folder missing or not
// writable, no sound server, no device, no encoder): Outcome().Fault says
// which, and DoneEvent follows without waiting for a stop. DoneEvent is
// signalled on every path.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/CaptureThreadBase.h"
#include "audio/EncoderSettings.h"
#include "audio/Mixer.h"

namespace wavecrate {

struct TCaptureOptions {
  // Audio per read from the server. Each read wakes three threads (the
  // server connection's, the source's ring buffer, the streaming thread),
  // so this sets most of the capture's CPU beyond the encoder; it is also
  // about how long the first sample takes to arrive, and how long the stop
  // may wait for the sound up to its instant.
  std::chrono::microseconds LatencyTime{100000};
  // The server-side buffer: how long the capture may be held up (a busy
  // machine, a slow disk) before samples are lost.
  std::chrono::microseconds BufferTime{2000000};
  // How often the capture thread looks at the mixer while the graph runs:
  // the slot's sound moving to another mix, the sound server going away and
  // coming back. Between those looks it sleeps on the graph's messages; the
  // stop and WriteHeaderNow wake it at once, so they do not wait for this.
  // A move is followed within it (the file has silence meanwhile).
  std::chrono::milliseconds SuperviseInterval{250};
  // Bound of the wait for the file to be finished at the stop.
  std::chrono::milliseconds StopTimeout{5000};
  // No sound for this long while the server is away or came back: the
  // source is given up and a new one started when possible.
  std::chrono::milliseconds StallTimeout{2000};
  // The encoder's settings; unset = the encoder's own settings file.
  std::optional<TEncoderSettings> Encoder;
  // The largest file the writer makes; 0 = the largest a RIFF header can
  // describe (4 GiB - 1). Smaller only to try the limit out.
  std::uint64_t MaxFileBytes = 0;
};

// What one recording did; for logs, tests and benchmarks.
struct TCaptureStats {
  std::string Device;                // the source recorded ("" = none)
  bool Muted = false;                // the speakers were muted for it
  bool Ran = false;                  // the pipeline ran
  bool Finished = false;             // end-of-stream reached the file at the stop
  std::uint64_t CapturedFrames = 0;  // frames the server delivered
  int SourceRestarts = 0;            // new sources after the server came back
  int SourceSwitches = 0;            // sources swapped for the slot's sound moving
  bool DiskFull = false;             // the disk filled up; the capture stopped
  bool HeaderPatched = false;        // the header was set to the bytes on disk
  // When the first captured buffer arrived, and how much audio it held.
  std::optional<std::chrono::steady_clock::time_point> FirstBuffer;
  std::chrono::nanoseconds FirstBufferDuration{0};
  std::chrono::steady_clock::time_point StopSeen;      // StopRequested noticed
  std::chrono::steady_clock::time_point FileFinished;  // pipeline down
  std::string Failure;                                 // what went wrong, "" when nothing did
  TCaptureFault Fault = TCaptureFault::None;           // the first fault, as a value
  std::string FaultReason;                             // that fault in words a user can act on
};

class TAudioCaptureThread : public TCaptureThreadBase {
 public:
  // `mixer` may be null: no recording line, no muting, devices as listed.
  explicit TAudioCaptureThread(std::shared_ptr<TRecordingMixer> mixer, TCaptureOptions options = {});
  ~TAudioCaptureThread() override;

  // The device to record: the source name of the list entry chosen by the
  // device rules (IsVista) over the device list with the program's mix
  // first; nullopt when none qualifies.
  std::optional<std::string> FindCaptureSource();
  // Records the stereo-mix line (the slot's mix) rather than the device
  // found; true when the mixer has that line. Changes none of the user's
  // default devices.
  bool SelectStereoMixLine();

  TCaptureStats Stats() const;
  TCaptureOutcome Outcome() const override;

  // Makes the file's header exact for what it holds now; the recording goes
  // on into the same file. Waits at most `bound` for the capture thread to
  // do it; true when it did (or there is no file to write yet).
  bool WriteHeaderNow(std::chrono::milliseconds bound);

 protected:
  void Execute() override;

 private:
  class Run;
  const std::shared_ptr<TRecordingMixer> mixer_;
  const TCaptureOptions options_;
  void SetOutcome(class Run& run);
  // Records a fault (the first one counts) with its reason in plain words.
  void SetFault(TCaptureFault fault, const std::string& reason);
  // The fault the folder of OutputFileName gives: missing, not writable, or
  // None.
  TCaptureFault FolderFault(std::string* reason) const;
  // The fault of a capture source that cannot be had: no sound server when
  // the mixer has none, otherwise no device.
  TCaptureFault SourceFault(std::string* reason) const;

  // Wakes the capture thread from its wait on the graph (the stop, a header
  // request); set by the running graph, empty while there is none.
  void Wake();
  std::mutex wakeMutex_;
  std::function<void()> wake_;

  std::string selectedLine_;  // set by SelectStereoMixLine, on this thread
  int mutedMix_ = -1;         // the mix whose loopback this recording mutes; -1 = none
  mutable std::mutex statsMutex_;
  TCaptureStats stats_;
  TCaptureOutcome outcome_;
  // Header requests (WriteHeaderNow) and the capture thread's answers.
  std::mutex headerMutex_;
  std::condition_variable headerCv_;
  std::uint64_t headerRequested_ = 0;
  std::uint64_t headerServed_ = 0;
  bool headerOk_ = true;
};

// The factory the slot threads make their captures with. Every capture made
// is also remembered (weakly) for StopAllCapturesAndWait.
TCaptureFactory MakeAudioCaptureFactory(std::shared_ptr<TRecordingMixer> mixer, TCaptureOptions options = {});

// Raises StopRequested and waits at most `bound` for DoneEvent (the file is
// finished). True when it was. A capture never resumed counts as done.
bool StopAndWait(TCaptureThreadBase& capture, std::chrono::milliseconds bound);
// The same for every running capture made by MakeAudioCaptureFactory, all
// stopped at once and waited for together within `bound` (program exit:
// before the stereo mix is stopped).
bool StopAllCapturesAndWait(std::chrono::milliseconds bound);
// Every running capture made by MakeAudioCaptureFactory writes its exact
// header now and goes on recording (before the computer sleeps); all within
// `bound`. True when every one did.
bool WriteAllCaptureHeadersNow(std::chrono::milliseconds bound);

}  // namespace wavecrate
