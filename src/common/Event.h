// Manual-reset event: once set it stays set until reset, and every waiter
// (present or future) passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace wavecrate {

class TEvent {
 public:
  void SetEvent();
  void ResetEvent();
  bool IsSet() const;
  // Waits without a time-out.
  void WaitFor() const;
  // Returns true when the event was set within the time-out.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace wavecrate
