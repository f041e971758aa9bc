// One background thread that runs jobs in the order they were posted. The
// window hands it whatever may wait on the network (a lookup can take its
// whole time-out when a host accepts connections and never answers), so the
// window's own thread never waits; a job's answer goes back by a queued call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "common/Thread.h"

namespace wavecrate {

class TWorkQueue : public TThread {
 public:
  TWorkQueue() = default;
  // Drops the jobs not yet begun, raises Cancelled() for the one running and
  // waits for it to return.
  ~TWorkQueue() override;

  // Any thread. Jobs posted before Resume run once it is called; jobs posted
  // after the destructor began are dropped.
  void Post(std::function<void()> job);
  // Jobs posted and not yet begun.
  std::size_t Pending() const;
  // Raised when the queue goes away: a long job polls it (the HTTP client
  // does, through THttpRequest::Cancel) to give up early.
  const std::atomic<bool>& Cancelled() const { return cancelled_; }

 protected:
  void Execute() override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace wavecrate
