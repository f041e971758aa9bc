// The WAV writer element: the exact header after a stop, the provisional one
// that survives a crash, byte offsets, the size limit, and files that
// GStreamer and ffmpeg both decode to the tone that went in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <thread>

#include "audio/RiffHeader.h"
#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"
#include "audio/gst/audio_gst_check.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::LeU16;
using test::LeU32;
using test::ReadFile;
using test::TempDir;

constexpr const char* kPcmCaps = "audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2";
constexpr const char* kMp3Caps = "audio/mpeg,mpegversion=1,layer=3,rate=44100,channels=2";

std::string Bytes(const TBytes& b) {
  return std::string(b.begin(), b.end());
}

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + static_cast<char>(i % 91));
  return s;
}

// What the element pushed downstream, as a catcher pad of ours saw it.
struct TCaught {
  struct TBlock {
    guint64 Offset;
    std::string Bytes;
  };
  std::vector<TBlock> Blocks;
  std::vector<std::string> Events;  // "segment:bytes:0", "caps:audio/x-wav", "eos"
  int RefuseBlock = -1;             // index of a block to answer with FLUSHING
  int Seen = 0;
};

GstFlowReturn CatchChain(GstPad* pad, GstObject*, GstBuffer* buffer) {
  auto* caught = static_cast<TCaught*>(gst_pad_get_element_private(pad));
  const int index = caught->Seen++;
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  caught->Blocks.push_back(
      {GST_BUFFER_OFFSET(buffer), std::string(reinterpret_cast<char*>(map.data), map.size)});
  gst_buffer_unmap(buffer, &map);
  gst_buffer_unref(buffer);
  if (index == caught->RefuseBlock) {
    caught->Blocks.pop_back();
    return GST_FLOW_FLUSHING;
  }
  return GST_FLOW_OK;
}

gboolean CatchEvent(GstPad* pad, GstObject*, GstEvent* event) {
  auto* caught = static_cast<TCaught*>(gst_pad_get_element_private(pad));
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT) {
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    caught->Events.push_back(std::string("segment:") + gst_format_get_name(segment->format) + ":" +
                             std::to_string(segment->start));
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    caught->Events.push_back(std::string("caps:") + gst_structure_get_name(gst_caps_get_structure(caps, 0)));
  } else if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) {
    caught->Events.push_back("eos");
  }
  gst_event_unref(event);
  return TRUE;
}

// Drives the element directly from a src pad of ours, into either a real
// filesink (in a pipeline) or the catcher pad above.
class TWavDestHarness {
 public:
  // Into a file.
  explicit TWavDestHarness(const std::string& path) : graph_("harness") {
    Init();
    sink_ = CreateFileSink(path, TFileSinkMode::Bulk);
    g_object_set(sink_.get(), "async", FALSE, nullptr);
    EXPECT_TRUE(graph_.AddAndLink({&dest_, &sink_}));
    LinkFeeder();  // after gst_bin_add, which unlinks pads leading outside the bin
    EXPECT_NE(gst_element_set_state(graph_.Pipeline(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  }
  // Into the catcher.
  TWavDestHarness() : graph_("unused") {
    Init();
    LinkFeeder();
    catcher_ = AdoptGst(gst_pad_new("catcher", GST_PAD_SINK));
    gst_pad_set_element_private(catcher_.get(), &Caught);
    gst_pad_set_chain_function(catcher_.get(), CatchChain);
    gst_pad_set_event_function(catcher_.get(), CatchEvent);
    TGstPtr<GstPad> src = AdoptGst(gst_element_get_static_pad(dest_.get(), "src"));
    EXPECT_EQ(gst_pad_link(src.get(), catcher_.get()), GST_PAD_LINK_OK);
    gst_pad_set_active(catcher_.get(), TRUE);
    gst_element_set_state(dest_.get(), GST_STATE_PLAYING);
  }
  ~TWavDestHarness() {
    gst_pad_set_active(feeder_.get(), FALSE);
    if (catcher_) {
      gst_element_set_state(dest_.get(), GST_STATE_NULL);
      gst_pad_set_active(catcher_.get(), FALSE);
    }
  }

  bool Begin(const char* caps) {
    gst_pad_push_event(feeder_.get(), gst_event_new_stream_start("wavdest-test"));
    TGstPtr<GstCaps> c = AdoptGst(gst_caps_from_string(caps));
    if (!gst_pad_push_event(feeder_.get(), gst_event_new_caps(c.get()))) return false;
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    return gst_pad_push_event(feeder_.get(), gst_event_new_segment(&segment));
  }
  GstFlowReturn Push(const std::string& bytes) {
    return gst_pad_push(feeder_.get(), gst_buffer_new_memdup(bytes.data(), bytes.size()));
  }
  // Ends the stream and, for the file form, waits until filesink has it.
  void End() {
    gst_pad_push_event(feeder_.get(), gst_event_new_eos());
    if (!catcher_) {
      EXPECT_EQ(graph_.WaitForEnd(std::chrono::seconds(10)), TGraphEnd::Eos);
      graph_.SetNull();
    }
  }
  guint Property(const char* name) const {
    guint v = 0;
    g_object_get(dest_.get(), name, &v, nullptr);
    return v;
  }
  GstElement* Dest() const { return dest_.get(); }

  TCaught Caught;

 private:
  void Init() {
    dest_ = CreateWavDestFilter("Mux");
    ASSERT_TRUE(dest_);
    feeder_ = AdoptGst(gst_pad_new("feeder", GST_PAD_SRC));
  }
  void LinkFeeder() {
    TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(dest_.get(), "sink"));
    gst_pad_set_active(feeder_.get(), TRUE);
    ASSERT_EQ(gst_pad_link(feeder_.get(), sink.get()), GST_PAD_LINK_OK);
  }

  TGraph graph_;
  TGstPtr<GstElement> dest_, sink_;
  TGstPtr<GstPad> feeder_, catcher_;
};

TEST(WavDestFilter, StopBeforeAnySampleLeavesExactlyTheHeader) {
  TempDir dir;
  struct Case {
    const char* caps;
    TBytes format;
  };
  const Case cases[] = {{kPcmCaps, MakePcmFormatBlock(44100, 2, 16)},
                        {kMp3Caps, MakeMpegLayer3FormatBlock(44100, 2, 0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caps);
    const std::string path = dir.File("empty.wav");
    {
      TWavDestHarness h(path);
      ASSERT_TRUE(h.Begin(c.caps));
      EXPECT_EQ(h.Property("header-bytes"), c.format.size() + 28);
      h.End();
      EXPECT_EQ(h.Property("data-bytes"), 0u);
    }
    const std::string file = ReadFile(path);
    EXPECT_EQ(file.size(), c.format.size() + 28);  // 46 for PCM, 58 for MP3
    EXPECT_EQ(file, Bytes(BuildRiffHeader(c.format, 0)));
    EXPECT_EQ(LeU32(file, 4), 20 + c.format.size());
  }
}

TEST(WavDestFilter, PayloadLaysEndToEndAndTheHeaderIsExactAfterEos) {
  TempDir dir;
  const std::string path = dir.File("pcm.wav");
  const std::string a = Pattern(1000, 'a'), b = Pattern(7, 'b'), c = Pattern(333, 'c');
  {
    TWavDestHarness h(path);
    ASSERT_TRUE(h.Begin(kPcmCaps));
    EXPECT_EQ(h.Push(a), GST_FLOW_OK);
    EXPECT_EQ(h.Push(b), GST_FLOW_OK);
    EXPECT_EQ(h.Push(c), GST_FLOW_OK);
    EXPECT_EQ(h.Property("data-bytes"), 1340u);
    h.End();
  }
  const std::string file = ReadFile(path);
  EXPECT_EQ(file, Bytes(BuildRiffHeader(MakePcmFormatBlock(44100, 2, 16), 1340)) + a + b + c);
}

// The protocol filesink relies on: the provisional header at offset 0 before
// any payload, every payload buffer stamped with its file offset, and at EOS a
// new BYTES segment from 0 with the exact header, then EOS.
TEST(WavDestFilter, StampsOffsetsAndRewritesTheHeaderFromOffsetZero) {
  TWavDestHarness h;
  ASSERT_TRUE(h.Begin(kPcmCaps));
  ASSERT_EQ(h.Push(Pattern(100, 'x')), GST_FLOW_OK);
  ASSERT_EQ(h.Push(Pattern(50, 'y')), GST_FLOW_OK);
  h.End();
  const TBytes format = MakePcmFormatBlock(44100, 2, 16);
  const auto& blocks = h.Caught.Blocks;
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].Offset, 0u);
  EXPECT_EQ(blocks[0].Bytes, Bytes(BuildProvisionalRiffHeader(format)));
  EXPECT_EQ(blocks[1].Offset, 46u);
  EXPECT_EQ(blocks[2].Offset, 146u);
  EXPECT_EQ(blocks[3].Offset, 0u);
  EXPECT_EQ(blocks[3].Bytes, Bytes(BuildRiffHeader(format, 150)));
  const std::vector<std::string> events = {"caps:audio/x-wav", "segment:bytes:0", "segment:bytes:0", "eos"};
  EXPECT_EQ(h.Caught.Events, events);
}

TEST(WavDestFilter, ABufferRefusedDownstreamIsNotCounted) {
  TWavDestHarness h;
  h.Caught.RefuseBlock = 2;  // header, first payload, then the refused one
  ASSERT_TRUE(h.Begin(kPcmCaps));
  ASSERT_EQ(h.Push(Pattern(100, 'x')), GST_FLOW_OK);
  EXPECT_EQ(h.Push(Pattern(60, 'y')), GST_FLOW_FLUSHING);
  EXPECT_EQ(h.Property("data-bytes"), 100u);
  ASSERT_EQ(h.Push(Pattern(10, 'z')), GST_FLOW_OK);
  h.End();
  const auto& blocks = h.Caught.Blocks;
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[2].Offset, 146u);  // where the refused one would have gone
  EXPECT_EQ(blocks[3].Bytes, Bytes(BuildRiffHeader(MakePcmFormatBlock(44100, 2, 16), 110)));
}

TEST(WavDestFilter, SizeLimitEndsTheFileWithAnExactHeader) {
  TempDir dir;
  const std::string path = dir.File("limit.wav");
  {
    TWavDestHarness h(path);
    g_object_set(h.Dest(), "max-bytes", guint64{46 + 1000}, nullptr);
    ASSERT_TRUE(h.Begin(kPcmCaps));
    EXPECT_EQ(h.Push(Pattern(600, 'p')), GST_FLOW_OK);
    EXPECT_EQ(h.Push(Pattern(401, 'q')), GST_FLOW_EOS);  // one byte too many
    EXPECT_EQ(h.Push(Pattern(1, 'r')), GST_FLOW_EOS);    // and nothing after
    EXPECT_EQ(h.Property("data-bytes"), 600u);
    h.End();
  }
  EXPECT_EQ(ReadFile(path),
            Bytes(BuildRiffHeader(MakePcmFormatBlock(44100, 2, 16), 600)) + Pattern(600, 'p'));
}

TEST(WavDestFilter, RefusesWhatNoWaveFormatBlockDescribes) {
  TWavDestHarness h;
  // A sticky caps event reports only that it was stored; the element's answer
  // shows in what it does next.
  h.Begin("audio/x-raw,format=S16BE,layout=interleaved,rate=44100,channels=2");
  EXPECT_EQ(h.Property("header-bytes"), 0u);
  EXPECT_EQ(h.Push("abc"), GST_FLOW_NOT_NEGOTIATED);
  h.Begin("video/x-raw,format=I420,width=16,height=16");
  EXPECT_EQ(h.Property("header-bytes"), 0u);
  EXPECT_EQ(h.Push("abc"), GST_FLOW_NOT_NEGOTIATED);
  EXPECT_TRUE(h.Caught.Blocks.empty());
}

TEST(WavDestFilter, FormatCannotChangeOnceTheFileHasPayload) {
  TWavDestHarness h;
  ASSERT_TRUE(h.Begin(kPcmCaps));
  ASSERT_EQ(h.Push(Pattern(8, 'a')), GST_FLOW_OK);
  h.Begin(kPcmCaps);  // the same format again is fine
  EXPECT_EQ(h.Push(Pattern(8, 'b')), GST_FLOW_OK);
  // Same size of block, rate and channels, other sample width: refused.
  h.Begin("audio/x-raw,format=S24LE,layout=interleaved,rate=44100,channels=2");
  EXPECT_EQ(h.Push(Pattern(6, 'c')), GST_FLOW_NOT_NEGOTIATED);
  EXPECT_EQ(h.Property("data-bytes"), 16u);
}

// ---------------------------------------------------------------- real pipelines

struct TEncodedFile {
  std::string Path;
  std::uint64_t DataBytes = 0;
};

// audiotestsrc (sine) ! MP3 encoder ! WAV writer ! filesink, `seconds` long.
bool EncodeTone(const std::string& path, double freq, double seconds, const TEncoderSettings& settings,
                std::string* error) {
  TGraph graph("tone");
  TGstPtr<GstElement> src = MakeElement("audiotestsrc");
  const int buffers = static_cast<int>(seconds * 44100 / 1024);
  g_object_set(src.get(), "freq", freq, "volume", 0.5, "num-buffers", buffers, "samplesperbuffer", 1024,
               nullptr);
  TGstPtr<GstElement> caps = MakeElement("capsfilter");
  TGstPtr<GstCaps> c = AdoptGst(gst_caps_from_string("audio/x-raw,rate=44100,channels=2"));
  g_object_set(caps.get(), "caps", c.get(), nullptr);
  TGstPtr<GstElement> enc = CreateMp3Encoder(settings, "MP3");
  TGstPtr<GstElement> dest = CreateWavDestFilter("Mux");
  TGstPtr<GstElement> sink = CreateFileSink(path, TFileSinkMode::Bulk, "Writer");
  if (!graph.AddAndLink({&src, &caps, &enc, &dest, &sink}) || !graph.Run(std::chrono::seconds(10), error))
    return false;
  const bool eos = graph.WaitForEnd(std::chrono::seconds(60), nullptr, error) == TGraphEnd::Eos;
  graph.SetNull();
  return eos;
}

void ExpectTone(const test::TDecoded& d, double seconds, double freq, const char* decoder) {
  SCOPED_TRACE(decoder);
  ASSERT_TRUE(d.Ok) << d.Error;
  // The encoder adds up to two frames of delay and padding.
  EXPECT_NEAR(d.Seconds(), seconds, 0.1);
  const std::size_t middle = d.Samples.size() / 2;
  EXPECT_NEAR(test::DominantFrequency(d.Samples, middle), freq, 10);
  EXPECT_NEAR(test::Rms(d.Samples, middle, 44100), 0.5 / std::sqrt(2.0), 0.05);
}

TEST(WavDestPipeline, Mp3InRiffDecodesWithGstreamerAndFfmpeg) {
  TempDir dir;
  const std::string path = dir.File("tone.mp3");
  std::string error;
  ASSERT_TRUE(EncodeTone(path, 1000, 5.0, TEncoderSettings{}, &error)) << error;
  const double seconds = (static_cast<int>(5.0 * 44100 / 1024) * 1024) / 44100.0;

  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(LeU32(file, 4), file.size() - 8);
  EXPECT_EQ(file.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(LeU32(file, 16), 30u);
  EXPECT_EQ(LeU16(file, 20), 0x55);
  EXPECT_EQ(LeU16(file, 22), 2);
  EXPECT_EQ(LeU32(file, 24), 44100u);
  EXPECT_EQ(LeU32(file, 28), 16000u);  // 128 kbit/s
  EXPECT_EQ(file.substr(50, 4), "data");
  EXPECT_EQ(LeU32(file, 54), file.size() - 58);
  EXPECT_TRUE(ParseMpegFrameHeader(std::span(reinterpret_cast<const std::uint8_t*>(file.data()) + 58, 4)));

  const std::string probe = test::Probe(path);
  EXPECT_NE(probe.find("format_name=wav"), std::string::npos) << probe;
  EXPECT_NE(probe.find("codec_name=mp3"), std::string::npos) << probe;

  ExpectTone(test::DecodeWithGst(path), seconds, 1000, "gstreamer");
  ExpectTone(test::DecodeWithFfmpeg(path), seconds, 1000, "ffmpeg");
}

TEST(WavDestPipeline, VariableBitrateHeaderNamesTheAverageBitrate) {
  TempDir dir;
  const std::string path = dir.File("vbr.mp3");
  TEncoderSettings vbr;
  vbr.RateControl = TRateControl::Vbr;
  vbr.VbrQuality = 2;
  std::string error;
  ASSERT_TRUE(EncodeTone(path, 440, 4.0, vbr, &error)) << error;
  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(LeU32(file, 54), file.size() - 58);
  // nAvgBytesPerSec within 10 % of what the payload really averages.
  const double seconds = (static_cast<int>(4.0 * 44100 / 1024) * 1024) / 44100.0;
  const double average = static_cast<double>(file.size() - 58) / seconds;
  EXPECT_NEAR(LeU32(file, 28), average, average * 0.1);
  ExpectTone(test::DecodeWithFfmpeg(path), seconds, 440, "ffmpeg");
}

// A live recording stopped through the graph services: EOS travels down, the
// header is exact and the file holds the recorded time.
TEST(WavDestPipeline, StoppingALiveGraphFinishesTheFile) {
  TempDir dir;
  const std::string path = dir.File("live.mp3");
  {
    TGraph graph("live");
    TGstPtr<GstElement> src = MakeElement("audiotestsrc");
    g_object_set(src.get(), "is-live", TRUE, "freq", 440.0, "volume", 0.5, nullptr);
    TGstPtr<GstElement> enc = CreateMp3Encoder(TEncoderSettings{});
    TGstPtr<GstElement> dest = CreateWavDestFilter("Mux");
    TGstPtr<GstElement> sink = CreateFileSink(path, TFileSinkMode::Recording);
    ASSERT_TRUE(graph.AddAndLink({&src, &enc, &dest, &sink}));
    ASSERT_TRUE(graph.Run());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::string error;
    EXPECT_TRUE(graph.Stop(std::chrono::seconds(5), &error)) << error;
  }
  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(LeU32(file, 4), file.size() - 8);
  EXPECT_EQ(LeU32(file, 54), file.size() - 58);
  const test::TDecoded d = test::DecodeWithGst(path);
  ASSERT_TRUE(d.Ok) << d.Error;
  EXPECT_GT(d.Seconds(), 2.0);
  EXPECT_LT(d.Seconds(), 3.5);
  EXPECT_NEAR(test::DominantFrequency(d.Samples, d.Samples.size() / 2), 440, 10);
}

// A recording stopped right after it started (the stop flag was already up):
// EOS sent while the pipeline was still on its way to PLAYING once deadlocked
// (state lock held by the sender, stream lock held by a thread parked in
// filesink's preroll). Every stop must return, and the file stays exact.
TEST(WavDestPipeline, StopRightAfterStartReturnsAndFinishesTheFile) {
  TempDir dir;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const std::string path = dir.File("quick" + std::to_string(round) + ".mp3");
    auto stopped = std::async(std::launch::async, [&] {
      TGraph graph("quick");
      TGstPtr<GstElement> src = MakeElement("audiotestsrc");
      g_object_set(src.get(), "is-live", TRUE, nullptr);
      TGstPtr<GstElement> enc = CreateMp3Encoder(TEncoderSettings{});
      TGstPtr<GstElement> dest = CreateWavDestFilter("Mux");
      TGstPtr<GstElement> sink = CreateFileSink(path, TFileSinkMode::Recording);
      if (!graph.AddAndLink({&src, &enc, &dest, &sink}) || !graph.Run()) return false;
      return graph.Stop(std::chrono::seconds(5));
    });
    if (stopped.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "stopping the graph deadlocked";
      std::abort();  // the stuck threads cannot be joined
    }
    EXPECT_TRUE(stopped.get());
    const std::string file = ReadFile(path);
    if (file.empty()) continue;  // stopped before the encoder made a frame: no format, nothing written
    ASSERT_GE(file.size(), 58u);
    EXPECT_EQ(LeU32(file, 4), file.size() - 8);
    EXPECT_EQ(LeU32(file, 54), file.size() - 58);
  }
}

// kill -9 in the middle of a recording: the provisional header makes what
// reached the disk playable, in both decoders.
TEST(WavDestPipeline, FileKilledMidRecordingStillDecodes) {
  TempDir dir;
  const std::string path = dir.File("killed.mp3");
  const std::string out = dir.File("child.out");
  test::Subprocess child({"/proc/self/exe", "--record-until-killed", path}, {}, out);
  ASSERT_TRUE(test::WaitUntil([&] { return ReadFile(out).find("recording") != std::string::npos; },
                              std::chrono::seconds(20)));
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  child.Signal(SIGKILL);
  child.Wait(std::chrono::seconds(5));
  const double written = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const std::string file = ReadFile(path);
  ASSERT_GT(file.size(), 58u);
  EXPECT_EQ(LeU32(file, 4), 0xFFFFFFFFu);  // still the provisional header
  EXPECT_EQ(LeU32(file, 54), 0xFFFFFFFFu);
  for (const test::TDecoded& d : {test::DecodeWithGst(path), test::DecodeWithFfmpeg(path)}) {
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_GE(d.Seconds(), written - 2.0);
    EXPECT_LE(d.Seconds(), written + 1.0);
    EXPECT_NEAR(test::DominantFrequency(d.Samples, d.Samples.size() / 2), 440, 10);
  }
}

}  // namespace
}  // namespace wavecrate
