// Thread base shared by every background thread of the program.
//
// A thread object is created suspended, given its fields by its creator, and
// then resumed; only the first Resume starts the operating-system thread, a
// later one is a no-op (the running thread simply sees the new field values).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace wavecrate {

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Joins a started thread: the owner must have asked it to stop first.
  // Subclasses whose Execute uses their own members must call WaitFor() in
  // their own destructor, since those members are gone by the time this runs.
  virtual ~TThread();

  // Starts Execute on a new thread the first time it is called.
  void Resume();
  // Blocks until Execute has returned (no-op for a thread never resumed).
  void WaitFor();
  bool Started() const { return started_.load(); }
  bool Finished() const { return finished_.load(); }

 protected:
  // The thread's work; runs once on its own thread.
  virtual void Execute() = 0;

 private:
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
};

// Lowers the calling thread's scheduling priority (nice 10), and with it that
// of every thread it starts itself from now on (not GLib's shared pool, whose
// threads run every graph's streaming and are made at start-up). Bulk work
// (conversions, mixing) must never hold up a recording or a stream that
// plays in real time. Best effort: nothing happens where the system refuses.
// A binding: common/linux.
void LowerThisThreadsPriority();

}  // namespace wavecrate
