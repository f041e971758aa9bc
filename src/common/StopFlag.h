// A thread's stop flag that can also wake the thread. Read and raised like
// an atomic bool (load, store, =); a thread that would rather sleep on its
// own wait than poll the flag sets a wake-up, called on the raising thread
// each time the flag is raised, so it neither misses the stop nor has to
// look at the flag more often than its other work needs.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

namespace wavecrate {

class TStopFlag {
 public:
  TStopFlag() = default;
  TStopFlag(const TStopFlag&) = delete;
  TStopFlag& operator=(const TStopFlag&) = delete;

  TStopFlag& operator=(bool value) {
    store(value);
    return *this;
  }
  // The flag is set before the wake-up runs, so the woken thread sees it.
  void store(bool value) {
    flag_.store(value);
    if (!value) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (wake_) wake_();
  }
  bool load() const { return flag_.load(); }

  // `wake` (empty: none) is called on each raise from now on; once this
  // returns, a wake-up it replaced is no longer running nor called again.
  void SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
  }

 private:
  std::atomic<bool> flag_{false};
  std::mutex mutex_;
  std::function<void()> wake_;
};

}  // namespace wavecrate
