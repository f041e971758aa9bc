// Conversion of an hour of audio: our conversion graph (decodebin, lamemp3enc,
// the WAV writer, filesink) against ffmpeg doing the same decode and encode at
// the same bitrate into the same container, in one run on one machine.
//
//   conversion_bench [--seconds N] [--rounds R] [--dir PATH] [--only ours|ffmpeg]
//                    [--source FILE]
//
// Makes an N-second (default 3600) stereo 44.1 kHz PCM AVI, like the mixed
// file the advertisement step hands over (a tone under pink noise, so the
// encoder has real work), converts it both ways at 128 kbit/s CBR and prints
// wall-clock and CPU time of each and their ratios (ours / ffmpeg).
//
// Both sides use LAME's default algorithm quality (3): lamemp3enc's
// "encoding-engine-quality" is "standard", which leaves LAME's default, and
// ffmpeg sets none unless -compression_level is given; both use joint stereo.
//
// The machine is shared, so one pair of runs says little: R rounds (default
// 3) alternate which side runs first, and the medians are compared. --only
// runs one side alone (for a profiler). --source converts FILE instead of
// making one (it is left in place), so several builds can be compared on
// the same file, round by round.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/gst/GraphServices.h"
#include "audio/gst/Mp3Converter.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

struct TRun {
  bool Ok = false;
  double Wall = 0;
  double Cpu = 0;
  std::uintmax_t Bytes = 0;
};

// Runs a command (no shell) and measures it.
TRun Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  TRun run;
  const auto start = SteadyClock::now();
  const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.Wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  run.Cpu = CpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
  run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 3600;
  int rounds = 3;
  std::string base = "/tmp";
  std::string only;
  std::string given;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    if (std::strcmp(argv[i], "--source") == 0) given = argv[i + 1];
  }
  const bool runOurs = only.empty() || only == "ours";
  const bool runFfmpeg = only.empty() || only == "ffmpeg";
  std::string pattern = base + "/wavecrate-conversion-bench.XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = pattern;
  const std::string source = given.empty() ? (dir / "TempOutput.avi").string() : given;
  const std::string ours = (dir / "ours.mp3").string();
  const std::string theirs = (dir / "ffmpeg.mp3").string();

  if (given.empty()) {
    std::printf("making %d s of stereo 44.1 kHz PCM in %s ...\n", seconds, source.c_str());
    const std::string len = std::to_string(seconds);
    const TRun made =
        Spawn({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
               "sine=frequency=440:sample_rate=44100:duration=" + len, "-f", "lavfi", "-i",
               "anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:duration=" + len, "-filter_complex",
               "amix=inputs=2,aformat=channel_layouts=stereo", "-c:a", "pcm_s16le", source});
    if (!made.Ok) {
      std::fprintf(stderr, "could not make the source with ffmpeg\n");
      return 1;
    }
  }

  wavecrate::TGstMp3Converter::TOptions options;
  options.Encoder = wavecrate::TEncoderSettings{};  // 128 kbit/s CBR, 44100 Hz, joint stereo
  wavecrate::TGstMp3Converter converter(options);
  wavecrate::EnsureGstInitialized();

  auto runOursOnce = [&] {
    TRun a;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    a.Ok = converter.ConvertToMp3(source, ours);
    a.Wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    a.Cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore;
    a.Bytes = a.Ok ? std::filesystem::file_size(ours) : 0;
    if (!a.Ok) std::fprintf(stderr, "ours failed: %s\n", converter.LastError().c_str());
    return a;
  };
  auto runFfmpegOnce = [&] {
    TRun b = Spawn({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", source, "-c:a", "libmp3lame", "-b:a",
                    "128k", "-ar", "44100", "-ac", "2", "-f", "wav", theirs});
    if (b.Ok) b.Bytes = std::filesystem::file_size(theirs);
    if (!b.Ok) std::fprintf(stderr, "ffmpeg failed\n");
    return b;
  };

  std::printf("load average before: %s\n", LoadAverage().c_str());
  std::printf("%-6s %-8s %10s %10s %14s\n", "round", "", "wall s", "cpu s", "output bytes");
  std::vector<double> oursWall, oursCpu, theirWall, theirCpu, cpuRatios;
  bool ok = true;
  for (int r = 1; r <= rounds && ok; ++r) {
    TRun a, b;
    // Odd rounds run ours first, even rounds ffmpeg first.
    const bool oursFirst = r % 2 == 1;
    if (runOurs && oursFirst) a = runOursOnce();
    if (runFfmpeg) b = runFfmpegOnce();
    if (runOurs && !oursFirst) a = runOursOnce();
    if (runOurs) {
      std::printf("%-6d %-8s %10.2f %10.2f %14ju\n", r, "ours", a.Wall, a.Cpu, a.Bytes);
      ok = ok && a.Ok;
      oursWall.push_back(a.Wall);
      oursCpu.push_back(a.Cpu);
    }
    if (runFfmpeg) {
      std::printf("%-6d %-8s %10.2f %10.2f %14ju\n", r, "ffmpeg", b.Wall, b.Cpu, b.Bytes);
      ok = ok && b.Ok;
      theirWall.push_back(b.Wall);
      theirCpu.push_back(b.Cpu);
    }
    if (runOurs && runFfmpeg && a.Ok && b.Ok) cpuRatios.push_back(a.Cpu / b.Cpu);
  }
  std::printf("load average after: %s\n", LoadAverage().c_str());
  if (ok && runOurs) {
    std::printf("median ours: wall %.2f s, cpu %.2f s", Median(oursWall), Median(oursCpu));
    if (given.empty()) std::printf("; %.0fx real time", seconds / Median(oursWall));
    std::printf("\n");
  }
  if (ok && runFfmpeg)
    std::printf("median ffmpeg: wall %.2f s, cpu %.2f s\n", Median(theirWall), Median(theirCpu));
  if (ok && runOurs && runFfmpeg) {
    std::printf("ratio of medians ours/ffmpeg: wall %.2f, cpu %.2f; per-round cpu ratios:",
                Median(oursWall) / Median(theirWall), Median(oursCpu) / Median(theirCpu));
    for (double c : cpuRatios) std::printf(" %.2f", c);
    std::printf("\n");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
