// Capture benchmark: CPU per minute of recording against ffmpeg's PulseAudio
// capture + libmp3lame and against lame encoding the same PCM (the floor),
// all at 128 kbit/s CBR in one run; the delay from Resume to the first
// captured sample; and from the stop to the finished file.
//
// Runs against the sound server in the environment (bench/capture_bench.sh
// starts a private one). Pink noise plays into the program's mix from a
// separate process, so the player's CPU is nobody's.
//
//   capture_bench [--seconds N] [--rounds R] [--trials K] [--sweep] [--alone] [--type T]...
//
// --type names a file type the capture writes (default: wave); given more
// than once, every round records each type in turn, each beside its own
// ffmpeg runs, and the summary gives each type against the same lame floor.
// --alone adds one recording with nothing else reading the monitor (ffmpeg
// asks the server for smaller blocks, which wakes every reader more often),
// with the wake-ups per second of each thread of this process.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/RecordingFile.h"
#include "audio/gst/AudioCaptureThread.h"
#include "audio/gst/GraphServices.h"
#include "audio/pulse/StereoMix.h"
#include "common/Clock.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using wavecrate::TAudioCaptureThread;
using wavecrate::TCaptureOptions;
using wavecrate::TStereoMix;
using SteadyClock = std::chrono::steady_clock;

struct TCpu {
  double User = 0;
  double System = 0;
  double Total() const { return User + System; }
};

// What the capture is told about its file beyond the options.
struct TFileType {
  wavecrate::TRecordingFileType Type = wavecrate::TRecordingFileType::Wave;
  wavecrate::TRecordingTags Tags;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

TCpu SelfCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return TCpu{Seconds(u.ru_utime), Seconds(u.ru_stime)};
}

// A child process; Finish() returns its CPU time.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& stdoutPath = "") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty()) {
      posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid_ < 0) std::fprintf(stderr, "bench: cannot start %s\n", argv[0].c_str());
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Finish();
    }
  }
  void Signal(int s) const {
    if (pid_ > 0) kill(pid_, s);
  }
  TCpu Finish() {
    TCpu cpu;
    if (pid_ <= 0) return cpu;
    int status = 0;
    rusage u{};
    if (wait4(pid_, &status, 0, &u) == pid_) cpu = TCpu{Seconds(u.ru_utime), Seconds(u.ru_stime)};
    pid_ = -1;
    return cpu;
  }
  bool Ok() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Ms(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// ffmpeg recording `seconds` of `monitor` to MP3 at 128 kbit/s; started
// now, its CPU time read when it ends.
std::unique_ptr<Child> StartFfmpeg(const std::string& monitor, int seconds,
                                   const std::vector<std::string>& extra, const std::string& out) {
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "pulse"};
  args.insert(args.end(), extra.begin(), extra.end());
  const std::vector<std::string> tail = {
      "-i", monitor, "-t", std::to_string(seconds), "-c:a", "libmp3lame", "-b:a", "128k", "-y", out};
  args.insert(args.end(), tail.begin(), tail.end());
  return std::make_unique<Child>(args);
}

// One recording of `seconds` by the capture thread; the CPU of this process
// meanwhile (the mix's threads idle).
TCpu RunCapture(const std::shared_ptr<TStereoMix>& mix, const TCaptureOptions& options, const TFileType& type,
                const std::string& path, int seconds) {
  auto capture = std::make_shared<TAudioCaptureThread>(mix, options);
  capture->OutputFileName = path;
  capture->FileType = type.Type;
  capture->Tags = type.Tags;
  const TCpu before = SelfCpu();
  capture->Resume();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  wavecrate::StopAndWait(*capture, 10s);
  const TCpu after = SelfCpu();
  return TCpu{after.User - before.User, after.System - before.System};
}

// Sets the capture's file type by its name on the command line; false for a
// name this build does not know. A new file type adds its name here.
bool SetFileType(TFileType& file, const std::string& type) {
  if (type == "wave") {
    file = TFileType{};
    return true;
  }
  if (type == "tagged") {
    // The tags a scheduled recording carries, so the tag writer has the
    // same work as in the program.
    const wavecrate::TLocalTime now = wavecrate::LocalTimeOf(std::time(nullptr));
    file.Type = wavecrate::TRecordingFileType::Tagged;
    file.Tags = wavecrate::MakeRecordingTags("The Evening Call-In", "Bench Talk 1010",
                                             "http://127.0.0.1:8000/talk", now, now);
    return true;
  }
  return false;
}

double PerMinute(const TCpu& cpu, double audioSeconds);

// Each thread of this process by id: its name, how often it has gone to
// sleep and been woken (voluntary context switches), and its time on a CPU
// (ns), so far.
struct TThreadUse {
  std::string Name;
  long Wakeups = 0;
  double CpuNs = 0;
};
std::map<std::string, TThreadUse> ThreadUse() {
  std::map<std::string, TThreadUse> threads;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    TThreadUse use;
    std::ifstream comm(entry.path() / "comm");
    std::getline(comm, use.Name);
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) use.Wakeups = std::atol(line.c_str() + 24);
    }
    std::ifstream sched(entry.path() / "schedstat");
    sched >> use.CpuNs;
    threads[entry.path().filename()] = use;
  }
  return threads;
}

// One recording alone (no ffmpeg reading the monitor beside it, as in the
// program), with each thread's wake-ups and CPU in its middle half.
bool SetFileType(TFileType& file, const std::string& type);
void RunAlone(const std::shared_ptr<TStereoMix>& mix, const TCaptureOptions& options,
              const std::string& typeName, const std::string& path, int seconds, double lame) {
  auto capture = std::make_shared<TAudioCaptureThread>(mix, options);
  capture->OutputFileName = path;
  TFileType type;
  SetFileType(type, typeName);
  capture->FileType = type.Type;
  capture->Tags = type.Tags;
  const TCpu before = SelfCpu();
  capture->Resume();
  const auto quarter = std::chrono::milliseconds(seconds * 250);
  std::this_thread::sleep_for(quarter);
  const auto first = ThreadUse();
  std::this_thread::sleep_for(2 * quarter);
  const auto second = ThreadUse();
  std::this_thread::sleep_for(quarter);
  wavecrate::StopAndWait(*capture, 10s);
  const TCpu after = SelfCpu();
  const double perMinute = PerMinute(TCpu{after.User - before.User, after.System - before.System}, seconds);
  std::printf(
      "\nAlone (nothing else reading the monitor), %s, %d s, supervised every %d ms: capture %.3f CPU s per "
      "minute, %.2f x lame\n\n| thread | wake-ups per second | CPU ms per second of audio |\n|---|---|---|\n",
      typeName.c_str(), seconds, static_cast<int>(options.SuperviseInterval.count()), perMinute,
      perMinute / lame);
  const double span = std::chrono::duration<double>(2 * quarter).count();
  for (const auto& [id, use] : second) {
    const auto was = first.find(id);
    if (was == first.end()) continue;
    const double rate = static_cast<double>(use.Wakeups - was->second.Wakeups) / span;
    const double cpu = (use.CpuNs - was->second.CpuNs) / 1e6 / span;
    if (rate >= 0.5 || cpu >= 0.05)
      std::printf("| %s (%s) | %.1f | %.2f |\n", use.Name.c_str(), id.c_str(), rate, cpu);
  }
}

double PerMinute(const TCpu& cpu, double audioSeconds) {
  return cpu.Total() / (audioSeconds / 60.0);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int trials = 10;
  int rounds = 3;
  bool sweep = false;
  bool alone = false;
  std::vector<std::string> types;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--type") && i + 1 < argc) types.push_back(argv[++i]);
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--trials") && i + 1 < argc) trials = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--sweep")) sweep = true;
    if (!std::strcmp(argv[i], "--alone")) alone = true;
  }
  if (types.empty()) types.push_back("wave");
  for (const std::string& type : types) {
    TFileType probe;
    if (!SetFileType(probe, type)) {
      std::fprintf(stderr, "bench: unknown file type %s\n", type.c_str());
      return 2;
    }
  }
  if (!wavecrate::EnsureGstInitialized()) return 1;
  auto mix = std::make_shared<TStereoMix>();
  if (!mix->Start()) {
    std::fprintf(stderr, "bench: the program's mix could not be loaded: %s\n", mix->FallbackReason().c_str());
    return 1;
  }
  const std::string dir =
      std::filesystem::temp_directory_path() / ("wavecrate-capture-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  // PULSE_SINK (set by Start) sends the player into the mix.
  Child player({"gst-launch-1.0", "-q", "audiotestsrc", "is-live=true", "wave=pink-noise", "volume=0.3", "!",
                "audio/x-raw,format=S16LE,rate=44100,channels=2", "!", "pulsesink"});
  std::this_thread::sleep_for(3s);
  const std::string monitor = mix->MonitorSource();
  std::printf("Capture CPU, %d s each, 128 kbit/s CBR, pink noise playing into %s\n\n", seconds,
              monitor.c_str());

  TCaptureOptions options;
  options.Encoder = wavecrate::TEncoderSettings{};  // 128 kbit/s CBR, joint stereo, 44.1 kHz
  const std::string pcm = dir + "/same.pcm";

  // Each round records the same monitor three ways at the same time, so a
  // slower or busier moment of the machine hits all of them alike. The first
  // round also keeps the PCM for the lame floor.
  std::printf(
      "| round | type | capture thread CPU s/min | ffmpeg (48 kHz default) | ffmpeg -sample_rate 44100 | "
      "capture / ffmpeg | capture / ffmpeg 44.1 |\n|---|---|---|---|---|---|---|\n");
  std::vector<std::vector<double>> ours(types.size()), ratio(types.size()), ratio441(types.size());
  // The floor: lame encoding the PCM the first round recorded.
  std::vector<double> lame;
  auto encodeFloor = [&] {
    const double pcmSeconds = static_cast<double>(std::filesystem::file_size(pcm)) / (44100.0 * 4);
    Child run({"lame", "--quiet", "-r", "-s", "44.1", "--bitwidth", "16", "--signed", "--little-endian", "-b",
               "128", "--cbr", pcm, dir + "/lame.mp3"});
    return PerMinute(run.Finish(), pcmSeconds);
  };
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t t = 0; t < types.size(); ++t) {
      TFileType typed;
      SetFileType(typed, types[t]);
      std::unique_ptr<Child> parec;
      if (r == 0 && t == 0) {
        parec = std::make_unique<Child>(
            std::vector<std::string>{"parec", "-d", monitor, "--raw", "--format=s16le", "--rate=44100",
                                     "--channels=2"},
            pcm);
      }
      auto ff = StartFfmpeg(monitor, seconds, {}, dir + "/ffmpeg.mp3");
      auto ff441 = StartFfmpeg(monitor, seconds, {"-sample_rate", "44100"}, dir + "/ffmpeg441.mp3");
      const TCpu mine = RunCapture(mix, options, typed, dir + "/ours.mp3", seconds);
      const TCpu theirs = ff->Finish();
      const TCpu theirs441 = ff441->Finish();
      if (parec) {
        parec->Signal(SIGTERM);
        parec->Finish();
      }
      std::filesystem::remove(dir + "/ours.mp3");
      ours[t].push_back(PerMinute(mine, seconds));
      ratio[t].push_back(mine.Total() / theirs.Total());
      ratio441[t].push_back(mine.Total() / theirs441.Total());
      std::printf(
          "| %d | %s | %.3f (user %.2f, sys %.2f) | %.3f (user %.2f, sys %.2f) | %.3f | %.2f | %.2f |\n",
          r + 1, types[t].c_str(), ours[t].back(), mine.User, mine.System, PerMinute(theirs, seconds),
          theirs.User, theirs.System, PerMinute(theirs441, seconds), ratio[t].back(), ratio441[t].back());
      std::fflush(stdout);
    }
    // The floor after every round, so it sees the same stretch of the
    // machine's load as the round (at the end alone it moved by a quarter
    // from one run to the next).
    lame.push_back(encodeFloor());
  }

  // At least three runs of the floor in all.
  while (lame.size() < 3) lame.push_back(encodeFloor());
  const double pcmSeconds = static_cast<double>(std::filesystem::file_size(pcm)) / (44100.0 * 4);
  std::printf("\nlame floor %.3f CPU s per minute (median of %zu runs, %.3f to %.3f; %.1f s of PCM)\n",
              Median(lame), lame.size(), *std::min_element(lame.begin(), lame.end()),
              *std::max_element(lame.begin(), lame.end()), pcmSeconds);
  for (std::size_t t = 0; t < types.size(); ++t) {
    std::printf(
        "medians, %s: capture %.3f CPU s per minute; capture / ffmpeg = %.2f; capture / ffmpeg at 44.1 kHz = "
        "%.2f; capture / lame = %.2f",
        types[t].c_str(), Median(ours[t]), Median(ratio[t]), Median(ratio441[t]),
        Median(ours[t]) / Median(lame));
    std::vector<double> overFloor;
    for (std::size_t r = 0; r < ours[t].size() && r < lame.size(); ++r)
      overFloor.push_back(ours[t][r] / lame[r]);
    std::printf(" (each round over the floor after it: median %.2f, %.2f to %.2f)", Median(overFloor),
                *std::min_element(overFloor.begin(), overFloor.end()),
                *std::max_element(overFloor.begin(), overFloor.end()));
    if (t > 0) {
      // Also round by round: the two recorded within the same couple of
      // minutes, so a busier stretch of the machine cancels out.
      std::vector<double> paired;
      for (std::size_t r = 0; r < ours[t].size(); ++r) paired.push_back(ours[t][r] / ours[0][r]);
      std::printf("; against %s %.3f (round by round: median %.3f, %.3f to %.3f", types[0].c_str(),
                  Median(ours[t]) / Median(ours[0]), Median(paired),
                  *std::min_element(paired.begin(), paired.end()),
                  *std::max_element(paired.begin(), paired.end()));
      // And each through the ffmpeg run beside it, which takes out how busy
      // the machine was during each recording.
      std::vector<double> normalized;
      for (std::size_t r = 0; r < ratio[t].size(); ++r) normalized.push_back(ratio[t][r] / ratio[0][r]);
      std::printf("; each over its ffmpeg: median %.3f, %.3f to %.3f)", Median(normalized),
                  *std::min_element(normalized.begin(), normalized.end()),
                  *std::max_element(normalized.begin(), normalized.end()));
    }
    std::printf("\n");
  }

  if (alone) {
    // Also with the mixer looked at ten times a second, as the capture
    // thread's old poll of the stop flag did.
    TCaptureOptions polled = options;
    polled.SuperviseInterval = std::chrono::milliseconds(100);
    RunAlone(mix, polled, types[0], dir + "/alone.mp3", seconds, Median(lame));
    for (const std::string& type : types)
      RunAlone(mix, options, type, dir + "/alone.mp3", seconds, Median(lame));
  }

  if (sweep) {
    std::printf(
        "\npulsesrc latency-time sweep (%d s each, each beside an ffmpeg -sample_rate 44100 run)\n\n"
        "| latency-time | capture CPU s per minute | capture / ffmpeg 44.1 |\n|---|---|---|\n",
        seconds / 2);
    for (int ms : {10, 25, 50, 100, 200}) {
      TCaptureOptions o = options;
      o.LatencyTime = std::chrono::milliseconds(ms);
      auto ff441 = StartFfmpeg(monitor, seconds / 2, {"-sample_rate", "44100"}, dir + "/ffmpeg441.mp3");
      const TCpu mine = RunCapture(mix, o, TFileType{}, dir + "/sweep.mp3", seconds / 2);
      const TCpu theirs = ff441->Finish();
      std::printf("| %d ms | %.3f | %.2f |\n", ms, PerMinute(mine, seconds / 2),
                  mine.Total() / theirs.Total());
    }
  }

  // Delays: Resume to the first captured buffer, and the stop to the file.
  std::vector<double> firstArrival, firstSample, stopToFile, flagToDone;
  for (int t = 0; t < trials; ++t) {
    auto capture = std::make_shared<TAudioCaptureThread>(mix, options);
    capture->OutputFileName = dir + "/delay.mp3";
    const auto resumed = SteadyClock::now();
    capture->Resume();
    std::this_thread::sleep_for(1500ms + std::chrono::milliseconds(97 * t % 1000));
    const auto raised = SteadyClock::now();
    capture->StopRequested = true;
    capture->DoneEvent.WaitFor(10s);
    const auto done = SteadyClock::now();
    const auto stats = capture->Stats();
    if (stats.FirstBuffer) {
      firstArrival.push_back(Ms(*stats.FirstBuffer - resumed));
      firstSample.push_back(Ms(*stats.FirstBuffer - resumed) -
                            std::chrono::duration<double, std::milli>(stats.FirstBufferDuration).count());
    }
    stopToFile.push_back(Ms(stats.FileFinished - stats.StopSeen));
    flagToDone.push_back(Ms(done - raised));
  }
  auto line = [](const char* what, const std::vector<double>& v) {
    std::printf("| %s | %.1f | %.1f | %.1f |\n", what, v.empty() ? 0 : *std::min_element(v.begin(), v.end()),
                Median(v), v.empty() ? 0 : *std::max_element(v.begin(), v.end()));
  };
  std::printf("\nDelays over %d recordings (ms)\n\n| delay | min | median | max |\n|---|---|---|---|\n",
              trials);
  line("Resume to first captured buffer arriving", firstArrival);
  line("Resume to the capture of its first sample", firstSample);
  line("stop noticed to file finished (EOS, header, NULL)", stopToFile);
  line("StopRequested raised to DoneEvent", flagToDone);

  player.Signal(SIGTERM);
  player.Finish();
  mix->Stop();
  std::filesystem::remove_all(dir);
  return 0;
}
