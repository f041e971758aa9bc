// The hand-over from a finished recording to the background conversion: one
// job is one (source, target) pair, so jobs queued close together never share
// a target name.
#pragma once

#include <string>

namespace wavecrate {

struct TMp3Job {
  std::string Source;  // the file to convert (deleted after a good conversion)
  std::string Target;  // the converted file, later renamed over the recording
};

class IMp3JobQueue {
 public:
  virtual ~IMp3JobQueue() = default;
  // Thread-safe; may be called from any slot thread.
  virtual void AddJob(TMp3Job job) = 0;
};

}  // namespace wavecrate
