// TMP3Thread: the program's one background converter. Slot threads queue
// (source, target) jobs; once a second the thread takes the oldest, converts
// the source into the target (MP3 in a RIFF WAVE file) and, only when that
// produced a readable file, puts it in place of the recording:
//
//   final := target with a trailing ".bak" removed (the recording's path)
//   target is renamed over final (an existing file there is replaced),
//   then source is deleted.
//
// A failed conversion changes nothing of value: the partial target is
// removed, the raw recording at final and the source stay, the failure is
// logged and the next job runs. At exit a conversion in progress is abandoned
// the same way.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "audio/Mp3JobQueue.h"
#include "common/Clock.h"
#include "common/Thread.h"

namespace wavecrate {

// The decoding and encoding of one job.
class IMediaConverter {
 public:
  virtual ~IMediaConverter() = default;
  // Converts `source` (any media file with audio) into `target`. Returns true
  // only when `target` is a finished, readable file. Checks `cancel` often
  // and gives up (returning false) soon after it is raised.
  virtual bool ConvertToMp3(const std::string& source, const std::string& target,
                            const std::atomic<bool>& cancel) = 0;
};

// `target` without a trailing ".bak"; unchanged when it does not end so.
std::string FinalNameFor(const std::string& target);

class TMP3Thread : public TThread, public IMp3JobQueue {
 public:
  // Poll interval between passes of the job loop.
  static constexpr std::chrono::milliseconds kPollInterval{1000};

  // The clock and the converter must outlive the thread.
  TMP3Thread(Clock& clock, IMediaConverter& converter);
  // Raises StopRequested (abandoning a conversion in progress) and waits for
  // the thread to end.
  ~TMP3Thread() override;

  // Thread-safe; any slot thread may queue work.
  void AddJob(TMp3Job job) override;
  // The queued jobs, oldest first; the one being converted is still at the
  // head.
  std::vector<TMp3Job> Jobs() const;

  // Ends the thread at the top of its next pass; a conversion in progress is
  // abandoned.
  std::atomic<bool> StopRequested{false};

  // Jobs finished so far, for the log and the tests.
  int Converted() const { return converted_.load(); }
  int Failed() const { return failed_.load(); }

 protected:
  void Execute() override;

 private:
  void RunJob(const TMp3Job& job);

  Clock& clock_;
  IMediaConverter& converter_;
  mutable std::mutex mutex_;
  std::deque<TMp3Job> jobs_;
  std::atomic<int> converted_{0};
  std::atomic<int> failed_{0};
};

}  // namespace wavecrate
