#include "common/WorkQueue.h"

#include <exception>
#include <iostream>
#include <utility>

namespace wavecrate {

TWorkQueue::~TWorkQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.store(true);
    jobs_.clear();
  }
  wake_.notify_all();
  WaitFor();
}

void TWorkQueue::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_.load()) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

std::size_t TWorkQueue::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size();
}

void TWorkQueue::Execute() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return cancelled_.load() || !jobs_.empty(); });
      if (cancelled_.load()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // A job is somebody else's code: whatever it throws must not end the
    // queue, which still has the other jobs to run.
    try {
      job();
    } catch (const std::exception& e) {
      std::cerr << "wavecrate: a background job failed: " << e.what() << '\n';
    } catch (...) {
      std::cerr << "wavecrate: a background job failed\n";
    }
  }
}

}  // namespace wavecrate
