#include "common/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

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

void LowerThisThreadsPriority() {
  // On Linux the nice value belongs to the thread (its id as the "process").
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

}  // namespace wavecrate
