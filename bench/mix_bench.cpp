// Mix benchmark: what the program's mixes cost on the sound server. Compares
// the shared mix alone (the slots' mixes loaded on demand, so an idle
// program has only this one) with the shared mix and the four slots' mixes
// loaded at start, and a server with no mix of ours as the floor, in one
// run: the time Start() takes, and the CPU of the sound server and of this
// process while nothing plays, with the server's resident memory.
//
// Runs against the sound server in the environment (bench/mix_bench.sh
// starts a private one and passes its process ids: PipeWire's three daemons
// are counted together).
//
//   mix_bench SERVER-PID[,PID...] [--seconds N] [--starts K]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/pulse/StereoMix.h"

namespace {

using Clock = std::chrono::steady_clock;

// utime + stime of a process, in seconds.
double CpuSeconds(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double RssMb(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

std::vector<long> gServer;

double ServerCpu() {
  double sum = 0;
  for (long pid : gServer) sum += CpuSeconds(pid);
  return sum;
}
double ServerRss() {
  double sum = 0;
  for (long pid : gServer) sum += RssMb(pid);
  return sum;
}

struct TResult {
  const char* Name;
  double StartMs = 0;  // median
  double ServerCpu = 0;
  double OwnCpu = 0;
  double ServerRss = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

TResult Measure(const char* name, int mixes, int seconds, int starts) {
  TResult r{name};
  wavecrate::TStereoMix::TOptions options;
  options.PointPlaybackHere = false;
  options.SlotMixesAtStart = mixes > 1;
  std::vector<double> times;
  for (int i = 0; i < starts && mixes > 0; ++i) {
    wavecrate::TStereoMix mix(options);
    const auto t0 = Clock::now();
    if (!mix.Start())
      std::fprintf(stderr, "mix_bench: the mix did not load: %s\n", mix.FallbackReason().c_str());
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    mix.Stop();
  }
  r.StartMs = Median(times);
  wavecrate::TStereoMix mix(options);
  if (mixes > 0) mix.Start();
  std::this_thread::sleep_for(std::chrono::seconds(3));  // let the server settle
  const double server0 = ServerCpu(), own0 = CpuSeconds(::getpid());
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  r.ServerCpu = ServerCpu() - server0;
  r.OwnCpu = CpuSeconds(::getpid()) - own0;
  r.ServerRss = ServerRss();
  mix.Stop();
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: mix_bench SERVER-PID [--seconds N] [--starts K]\n");
    return 2;
  }
  std::istringstream pids(argv[1]);
  for (std::string pid; std::getline(pids, pid, ',');) gServer.push_back(std::atol(pid.c_str()));
  int seconds = 30, starts = 7;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--starts") == 0) starts = std::atoi(argv[i + 1]);
  }
  std::vector<TResult> results = {Measure("no mix of ours (floor)", 0, seconds, starts),
                                  Measure("shared mix only (slots on demand)", 1, seconds, starts),
                                  Measure("shared + four slot mixes at start", 5, seconds, starts)};
  std::printf("idle over %d s, Start() median of %d\n", seconds, starts);
  std::printf("%-36s %10s %12s %10s %12s\n", "", "Start ms", "server CPU s", "own CPU s", "server RSS MB");
  for (const TResult& r : results) {
    std::printf("%-36s %10.1f %12.2f %10.2f %12.1f\n", r.Name, r.StartMs, r.ServerCpu, r.OwnCpu, r.ServerRss);
  }
  const TResult& one = results[1];
  const TResult& five = results[2];
  std::printf("five / shared only: Start %.2f, server CPU %.2f, server RSS %.2f\n",
              one.StartMs > 0 ? five.StartMs / one.StartMs : 0,
              one.ServerCpu > 0 ? five.ServerCpu / one.ServerCpu : 0,
              one.ServerRss > 0 ? five.ServerRss / one.ServerRss : 0);
  std::printf("load average: ");
  std::fflush(stdout);
  return std::system("cut -d' ' -f1-3 /proc/loadavg") == 0 ? 0 : 1;
}
