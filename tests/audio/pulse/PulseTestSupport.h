// What the sound-server tests share: the program's mix for the test binary,
// a private PulseAudio of a test's own (to stop and restart it), a tone
// player, a listener on a source, and the decoding of a recording.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"
#include "audio/pulse/StereoMix.h"
#include "support/Subprocess.h"
#include "support/audio_analysis.h"

namespace wavecrate::test {

// The mix that main.cpp starts for the whole test process.
std::shared_ptr<TStereoMix> TestMix();

inline std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string Pactl(const std::string& arguments, const std::string& server = "") {
  return Shell("pactl " + (server.empty() ? "" : "-s " + server + " ") + arguments + " 2>/dev/null");
}

// A PulseAudio of the test's own, in its own runtime folder, with a null
// sink "speakers" as the user's default sink. Stop() kills it the way a
// crash would; Start() brings it back on the same address.
class PrivatePulse {
 public:
  explicit PrivatePulse(std::vector<std::string> extra = {}) : extra_(std::move(extra)) {
    char pattern[] = "/tmp/wavecrate-h5pulse.XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ::chmod(dir_.c_str(), 0700);
    Start();
  }
  ~PrivatePulse() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;

  std::string Address() const { return "unix:" + dir_ + "/native"; }

  bool Start() {
    std::vector<std::string> argv = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--log-target=file:" + dir_ + "/pulse.log",
        "--load=module-native-protocol-unix socket=" + dir_ + "/native auth-anonymous=1",
        "--load=module-null-sink sink_name=speakers",
        "--load=module-null-sink sink_name=microphone"};
    argv.insert(argv.end(), extra_.begin(), extra_.end());
    process_ = std::make_unique<Subprocess>(
        argv,
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir_, "HOME=" + dir_, "PULSE_RUNTIME_PATH=" + dir_});
    const bool up =
        WaitUntil([&] { return Pactl("info", Address()).find("Server Name") != std::string::npos; },
                  std::chrono::seconds(10));
    if (up) {
      Pactl("set-default-sink speakers", Address());
      Pactl("set-default-source microphone.monitor", Address());
    }
    return up;
  }

  void Stop() {
    if (!process_) return;
    process_->Signal(SIGKILL);
    process_->Wait(std::chrono::seconds(5));
    process_.reset();
    std::error_code ec;
    std::filesystem::remove(dir_ + "/native", ec);
  }

  void Pause() { process_->Signal(SIGSTOP); }
  void Continue() { process_->Signal(SIGCONT); }

 private:
  std::vector<std::string> extra_;
  std::string dir_;
  std::unique_ptr<Subprocess> process_;
};

// A pipeline that runs until destroyed.
class Pipeline {
 public:
  explicit Pipeline(const std::string& description) {
    EnsureGstInitialized();
    TGErrorPtr error;
    pipeline_ = AdoptGst(gst_parse_launch(description.c_str(), error.Out()));
    if (!pipeline_) throw std::runtime_error("bad pipeline: " + std::string(error.Message()));
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
      throw std::runtime_error("pipeline would not play: " + description);
    }
  }
  ~Pipeline() {
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  }
  GstElement* Get() const { return pipeline_.get(); }

 private:
  TGstPtr<GstElement> pipeline_;
};

// A sine tone played into the process's default sink (PULSE_SINK: the mix)
// or into `device` on `server`.
inline std::unique_ptr<Pipeline> PlayTone(int hz, double volume = 0.5, const std::string& device = "",
                                          const std::string& server = "") {
  std::string sink = "pulsesink";
  if (!device.empty()) sink += " device=" + device;
  if (!server.empty()) sink += " server=" + server;
  return std::make_unique<Pipeline>(
      "audiotestsrc is-live=true freq=" + std::to_string(hz) + " volume=" + std::to_string(volume) +
      " ! audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2 ! " + sink);
}

// Pulls interleaved S16LE stereo 44.1 kHz from the appsink "out" of a
// running or finished pipeline until EOS, `limit` (wall time) or `enough`
// audio (0 = no such bound).
inline TPcm PullPcm(GstElement* pipeline, std::chrono::milliseconds limit, std::size_t enoughFrames = 0) {
  TPcm pcm;
  TGstPtr<GstElement> sink = AdoptGst(gst_bin_get_by_name(GST_BIN(pipeline), "out"));
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end && (enoughFrames == 0 || pcm.Frames() < enoughFrames)) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 100 * GST_MSECOND);
    if (!sample) {
      if (gst_app_sink_is_eos(GST_APP_SINK(sink.get()))) break;
      continue;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      const auto* s = reinterpret_cast<const std::int16_t*>(map.data);
      pcm.Samples.insert(pcm.Samples.end(), s, s + map.size / 2);
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
  }
  return pcm;
}

// The next `span` of sound that reaches `source` (an idle null sink may
// take up to two seconds to deliver its first samples).
inline TPcm Listen(const std::string& source, std::chrono::milliseconds span,
                   const std::string& server = "") {
  std::string src = "pulsesrc device=" + source;
  if (!server.empty()) src += " server=" + server;
  Pipeline p(
      src +
      " ! audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2 ! appsink name=out sync=false");
  return PullPcm(p.Get(), span + std::chrono::seconds(4),
                 static_cast<std::size_t>(span.count()) * 44100 / 1000);
}

// The median RMS of channel 0 over 100 ms windows: a level that a dropout
// of a loaded machine (a moment of silence) does not move.
inline double TypicalLevel(const TPcm& pcm) {
  std::vector<double> levels = WindowedRms(pcm, static_cast<std::size_t>(pcm.Rate) / 10);
  if (levels.empty()) return 0;
  std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(levels.size() / 2),
                   levels.end());
  return levels[levels.size() / 2];
}

// The whole recording decoded (RIFF WAVE holding MP3, or anything else
// GStreamer reads) to S16LE stereo 44.1 kHz.
inline TPcm Decode(const std::string& path) {
  Pipeline p("filesrc location=\"" + path +
             "\" ! decodebin ! audioconvert ! audioresample ! "
             "audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2 ! "
             "appsink name=out sync=false");
  return PullPcm(p.Get(), std::chrono::seconds(60));
}

}  // namespace wavecrate::test
