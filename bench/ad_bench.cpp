// The whole advertisement step for a 30 s clip and an hour of recording, from
// the download on loopback to the final file in place, against ffmpeg
// concatenating and encoding the same two files:
//
//   in place  TAd: download, GES timeline, MP3 encoder bin and WAV writer
//             into recording.bak, renamed over the recording
//   ffmpeg    ffmpeg -i clip -i recording -filter_complex concat=n=2:v=0:a=1
//             -c:a libmp3lame -b:a 128k -f wav out
//
//   ad_bench [--seconds N] [--clip N] [--dir PATH]
//
// Prints wall-clock and CPU time of each, their ratio to ffmpeg, and the peak
// scratch disk space (bytes beside the raw recording and the clip: the .bak
// target), sampled every 20 ms.
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"
#include "common/curl/CurlHttpClient.h"
#include "scheduler/gst/AdMixer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using wavecrate::TAd;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

pid_t Start(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool Run(const std::vector<std::string>& args) {
  const pid_t pid = Start(args);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// Whether something accepts connections on 127.0.0.1:port within 30 s.
bool WaitForPort(int port) {
  for (int i = 0; i < 300; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Bytes in `dir` beyond `base`, at their highest while it runs.
class TScratchWatch {
 public:
  TScratchWatch(fs::path dir, std::uintmax_t base) : dir_(std::move(dir)), base_(base) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        std::uintmax_t total = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir_, ec))
          total += e.is_regular_file(ec) && !e.is_symlink(ec) ? e.file_size(ec) : 0;
        if (total > base_ && total - base_ > peak_) peak_ = total - base_;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  std::uintmax_t Stop() {
    stop_ = true;
    thread_.join();
    return peak_;
  }

 private:
  fs::path dir_;
  std::uintmax_t base_;
  std::atomic<bool> stop_{false};
  std::uintmax_t peak_ = 0;
  std::thread thread_;
};

struct TResult {
  bool Ok = false;
  double Wall = 0;
  double Cpu = 0;
  std::uintmax_t Scratch = 0;
};

// Stereo 16-bit 44.1 kHz samples through our encoder and WAV writer, as a
// recording is written.
bool EncodeRecording(const std::string& pcm, const std::string& target) {
  using namespace wavecrate;
  if (!EnsureGstInitialized() || !RegisterWavDestFilter()) return false;
  TGraph graph("recording");
  TGstPtr<GstElement> src = MakeElement("filesrc");
  TGstPtr<GstElement> parse = MakeElement("rawaudioparse");
  TGstPtr<GstElement> encoder = CreateMp3Encoder(TEncoderSettings{}, "MP3");
  TGstPtr<GstElement> writer = CreateWavDestFilter("WavMux");
  TGstPtr<GstElement> sink = CreateFileSink(target, TFileSinkMode::Bulk, "FileWriter");
  if (!src || !parse) return false;
  g_object_set(src.get(), "location", pcm.c_str(), nullptr);
  g_object_set(parse.get(), "sample-rate", 44100, "num-channels", 2, nullptr);
  std::string error;
  const bool ok = graph.AddAndLink({&src, &parse, &encoder, &writer, &sink}) &&
                  graph.Run(std::chrono::seconds(10), &error) &&
                  graph.WaitForEnd(std::chrono::hours(1), nullptr, &error) == TGraphEnd::Eos;
  graph.SetNull();
  if (!ok) std::fprintf(stderr, "the recording could not be made: %s\n", error.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 3600, clipSeconds = 30;
  std::string base = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--clip") == 0) clipSeconds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
  }
  std::string pattern = base + "/wavecrate-ad-bench.XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = pattern, www = dir / "www", work = dir / "work";
  fs::create_directories(www);
  fs::create_directories(work);
  const std::string len = std::to_string(seconds);
  const std::string raw = (dir / "raw.mp3").string(), clip = (www / "ad.mp3").string();

  // The recording as the program writes it (our encoder and WAV writer), from
  // a tone under pink noise so the encoder has real work; the clip as a
  // vendor would serve it.
  std::printf("making %d s of recording and a %d s clip in %s ...\n", seconds, clipSeconds, dir.c_str());
  const std::string pcm = (dir / "raw.pcm").string();
  if (!Run({"ffmpeg",
            "-nostdin",
            "-v",
            "error",
            "-y",
            "-f",
            "lavfi",
            "-i",
            "sine=frequency=440:sample_rate=44100:duration=" + len,
            "-f",
            "lavfi",
            "-i",
            "anoisesrc=color=pink:amplitude=0.2:sample_rate=44100:duration=" + len,
            "-filter_complex",
            "amix=inputs=2,aformat=channel_layouts=stereo",
            "-f",
            "s16le",
            "-c:a",
            "pcm_s16le",
            pcm}) ||
      !EncodeRecording(pcm, raw) ||
      !Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "sine=frequency=1320:sample_rate=44100:duration=" + std::to_string(clipSeconds), "-ac", "2",
            "-c:a", "libmp3lame", "-b:a", "128k", clip})) {
    std::fprintf(stderr, "could not make the sources\n");
    return 1;
  }
  fs::remove(pcm);

  const int port = FreePort();
  const pid_t server = Start({"python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                              www.string(), std::to_string(port)});
  if (!WaitForPort(port)) {
    std::fprintf(stderr, "the loopback server did not start\n");
    return 1;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/ad.mp3";
  wavecrate::EnsureGstInitialized();
  wavecrate::TCurlHttpClient http;
  const std::string recording = (work / "show.mp3").string();

  // The program's way: the raw recording copied into place, then the step.
  auto ours = [&](const char* keep) {
    fs::remove_all(work);
    fs::create_directories(work);
    fs::copy_file(raw, recording);
    TAd::TOptions o;
    o.Encoder = wavecrate::TEncoderSettings{};
    TAd ad(work.string(), http, o);
    TResult r;
    TScratchWatch watch(work, fs::file_size(raw));
    const double cpu = CpuSeconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    r.Ok = ad.MixAdWithRecording(recording, url);
    r.Wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    r.Cpu = CpuSeconds(RUSAGE_SELF) - cpu;
    // The clip was on disk before and after; what the step added beside it.
    const std::uintmax_t peak = watch.Stop();
    const std::uintmax_t clipBytes = fs::file_size(clip);
    r.Scratch = peak > clipBytes ? peak - clipBytes : 0;
    if (!r.Ok) std::fprintf(stderr, "%s failed: %s\n", keep, ad.LastError().c_str());
    fs::copy_file(recording, dir / keep, fs::copy_options::overwrite_existing);
    return r;
  };

  const TResult inPlace = ours("inplace.mp3");
  TResult ff;
  {
    const double cpu = CpuSeconds(RUSAGE_CHILDREN);
    const auto start = SteadyClock::now();
    ff.Ok = Run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", clip, "-i", raw, "-filter_complex",
                 "concat=n=2:v=0:a=1", "-c:a", "libmp3lame", "-b:a", "128k", "-f", "wav",
                 (dir / "ffmpeg.mp3").string()});
    ff.Wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
    ff.Cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);

  std::printf("%-9s %9s %9s %14s %14s\n", "", "wall s", "cpu s", "scratch bytes", "output bytes");
  const auto row = [&](const char* name, const TResult& r, const char* file) {
    std::error_code ec;
    std::printf("%-9s %9.2f %9.2f %14ju %14ju %s\n", name, r.Wall, r.Cpu, r.Scratch,
                fs::file_size(dir / file, ec), r.Ok ? "" : "FAILED");
  };
  row("in place", inPlace, "inplace.mp3");
  row("ffmpeg", ff, "ffmpeg.mp3");
  if (ff.Ok && ff.Cpu > 0 && ff.Wall > 0) {
    std::printf("ratio to ffmpeg: in place wall %.2f cpu %.2f\n", inPlace.Wall / ff.Wall,
                inPlace.Cpu / ff.Cpu);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return inPlace.Ok && ff.Ok ? 0 : 1;
}
