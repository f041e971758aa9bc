#include "common/Event.h"

namespace wavecrate {

void TEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  cv_.notify_all();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

void TEvent::WaitFor() const {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return set_; });
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return set_; });
}

}  // namespace wavecrate
