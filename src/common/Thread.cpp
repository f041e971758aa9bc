#include "common/Thread.h"

namespace wavecrate {

TThread::~TThread() {
  WaitFor();
}

void TThread::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_.load()) return;
  started_.store(true);
  thread_ = std::thread([this] {
    Execute();
    finished_.store(true);
  });
}

void TThread::WaitFor() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    t = std::move(thread_);
  }
  t.join();
}

}  // namespace wavecrate
