#include "audio/MP3Thread.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace wavecrate {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBak = ".bak";

// A regular file with something in it.
bool HasContent(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && fs::file_size(path, ec) > 0 && !ec;
}

void RemoveIfPresent(const std::string& path) {
  std::error_code ec;
  if (fs::remove(path, ec) || !ec) return;
  std::fprintf(stderr, "mp3: could not remove %s: %s\n", path.c_str(), ec.message().c_str());
}

}  // namespace

std::string FinalNameFor(const std::string& target) {
  if (target.size() > kBak.size() && target.ends_with(kBak))
    return target.substr(0, target.size() - kBak.size());
  return target;
}

TMP3Thread::TMP3Thread(Clock& clock, IMediaConverter& converter) : clock_(clock), converter_(converter) {}

TMP3Thread::~TMP3Thread() {
  StopRequested.store(true);
  WaitFor();
}

void TMP3Thread::AddJob(TMp3Job job) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
}

std::vector<TMp3Job> TMP3Thread::Jobs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {jobs_.begin(), jobs_.end()};
}

void TMP3Thread::Execute() {
  // Conversions are bulk work and must never hold up a recording.
  LowerThisThreadsPriority();
  while (!StopRequested.load()) {
    TMp3Job job;
    bool have = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!jobs_.empty()) {
        job = jobs_.front();  // stays at the head while it is converted
        have = true;
      }
    }
    if (have) {
      RunJob(job);
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.pop_front();
    }
    clock_.SleepFor(kPollInterval);
  }
}

void TMP3Thread::RunJob(const TMp3Job& job) {
  const std::string final = FinalNameFor(job.Target);
  // A target without ".bak" is its own final name, and may be the raw
  // recording itself: never write the conversion over it directly.
  const std::string work = final == job.Target ? job.Target + ".part" : job.Target;

  const bool converted = converter_.ConvertToMp3(job.Source, work, StopRequested);
  if (!converted || !HasContent(work)) {
    RemoveIfPresent(work);
    ++failed_;
    std::fprintf(stderr, "mp3: %s %s; the recording %s is left as it was\n",
                 StopRequested.load() ? "abandoned the conversion of" : "could not convert",
                 job.Source.c_str(), final.c_str());
    return;
  }

  // rename() replaces an existing file at the final name in one step, so the
  // recording is never missing in between.
  std::error_code ec;
  fs::rename(work, final, ec);
  if (ec) {
    ++failed_;
    std::fprintf(stderr, "mp3: could not move %s to %s: %s; the recording is kept\n", work.c_str(),
                 final.c_str(), ec.message().c_str());
    RemoveIfPresent(work);
    return;
  }
  if (!fs::equivalent(job.Source, final, ec) || ec) RemoveIfPresent(job.Source);
  ++converted_;
}

}  // namespace wavecrate
