// Checks on written audio files, by content: decode them with GStreamer and
// with ffmpeg, count the samples, find the dominant frequency and the level.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"

namespace wavecrate::test {

inline constexpr int kCheckRate = 44100;

struct TDecoded {
  bool Ok = false;
  std::string Error;
  std::vector<float> Samples;  // mono, kCheckRate
  double Seconds() const { return static_cast<double>(Samples.size()) / kCheckRate; }
};

// filesrc ! decodebin ! audioconvert ! audioresample ! F32LE mono 44100 ! appsink
inline TDecoded DecodeWithGst(const std::string& path) {
  TDecoded out;
  EnsureGstInitialized();
  TGErrorPtr error;
  TGstPtr<GstElement> pipeline = AdoptGst(
      gst_parse_launch("filesrc name=src ! decodebin ! audioconvert ! audioresample ! "
                       "audio/x-raw,format=F32LE,channels=1,rate=44100 ! appsink name=sink sync=false",
                       error.Out()));
  if (!pipeline) {
    out.Error = error.Message();
    return out;
  }
  TGstPtr<GstElement> src = AdoptGst(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  TGstPtr<GstElement> sink = AdoptGst(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  g_object_set(src.get(), "location", path.c_str(), nullptr);
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  for (;;) {
    TGstPtr<GstSample> sample =
        AdoptGst(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 20 * GST_SECOND));
    if (!sample) break;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      const auto* f = reinterpret_cast<const float*>(map.data);
      out.Samples.insert(out.Samples.end(), f, f + map.size / sizeof(float));
      gst_buffer_unmap(buffer, &map);
    }
  }
  TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(pipeline.get()));
  TGstPtr<GstMessage> m = AdoptGst(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  out.Ok = !m && gst_app_sink_is_eos(GST_APP_SINK(sink.get()));
  if (m) out.Error = DescribeError(m.get());
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return out;
}

// Output of a shell command (stdout only) and its exit status.
inline int RunCommand(const std::string& command, std::string* output) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (output) output->append(buf, n);
  return pclose(p);
}

// ffmpeg -i <path> -f f32le, first channel only (the tests' channels are
// identical; ffmpeg's own stereo-to-mono mix would scale the level), 44100 Hz
inline TDecoded DecodeWithFfmpeg(const std::string& path) {
  TDecoded out;
  std::string raw;
  const int status = RunCommand(
      "ffmpeg -nostdin -v error -i '" + path + "' -af 'pan=mono|c0=c0' -f f32le -ar 44100 - 2>/dev/null",
      &raw);
  out.Ok = status == 0;
  if (!out.Ok) out.Error = "ffmpeg exit status " + std::to_string(status);
  out.Samples.resize(raw.size() / sizeof(float));
  std::memcpy(out.Samples.data(), raw.data(), out.Samples.size() * sizeof(float));
  return out;
}

// "key=value" lines of ffprobe for the file's format and first audio stream.
inline std::string Probe(const std::string& path) {
  std::string text;
  RunCommand(
      "ffprobe -v error -show_entries format=format_name:stream=codec_name,sample_rate,channels "
      "-of default=nw=1 '" +
          path + "' 2>&1",
      &text);
  return text;
}

inline double Rms(const std::vector<float>& s, std::size_t from, std::size_t count) {
  double sum = 0;
  const std::size_t end = std::min(s.size(), from + count);
  if (from >= end) return 0;
  for (std::size_t i = from; i < end; ++i) sum += double{s[i]} * s[i];
  return std::sqrt(sum / static_cast<double>(end - from));
}

// The strongest frequency (Goertzel over 20..5000 Hz in 5 Hz steps) of a
// window of the samples starting at `from`.
inline double DominantFrequency(const std::vector<float>& s, std::size_t from, std::size_t count = 8192) {
  const std::size_t end = std::min(s.size(), from + count);
  if (from + 1024 > end) return 0;
  double best = 0, bestPower = -1;
  for (double f = 20; f <= 5000; f += 5) {
    const double w = 2 * M_PI * f / kCheckRate;
    const double c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = from; i < end; ++i) {
      const double v = s[i] + c * s1 - s2;
      s2 = s1;
      s1 = v;
    }
    const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = f;
    }
  }
  return best;
}

inline std::uint32_t LeU32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24);
}
inline std::uint16_t LeU16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    (static_cast<unsigned char>(b[at + 1]) << 8));
}

}  // namespace wavecrate::test
