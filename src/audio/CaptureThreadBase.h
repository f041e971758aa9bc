// What a slot thread needs of a capture thread: the fields it hands over
// before Resume, the stop flag that StopRecording raises, and the event that
// tells the slot thread the file is finished.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/Event.h"
#include "common/Thread.h"

namespace wavecrate {

class TCaptureThreadBase : public TThread {
 public:
  // Set by the creator before Resume; not changed afterwards.
  std::string OutputFileName;  // UTF-8 path of the recording
  bool IsVista = false;
  bool IsMute = false;

  // Raised (from any thread) to end the recording; polled by the capture.
  std::atomic<bool> StopRequested{false};
  // Manual-reset; signalled on every path once the output file is finished
  // (or the capture gave up), never before.
  TEvent DoneEvent;
};

// Makes a new, not yet resumed, capture thread for one recording.
using TCaptureFactory = std::function<std::shared_ptr<TCaptureThreadBase>()>;

}  // namespace wavecrate
