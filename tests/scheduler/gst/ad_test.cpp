// The advertisement step on real components: clips served by the loopback
// HTTP server, fetched by the libcurl client, measured and mixed with GES
// into the recording in place; files made by ffmpeg and by our own encoder
// graph, and checked by decoding them.
#include "scheduler/gst/AdMixer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "audio/RecordingFile.h"
#include "audio/gst/TaggedMp3.h"
#include "audio/gst/WavDestFilter.h"
#include "audio/gst/audio_gst_check.h"
#include "common/curl/CurlHttpClient.h"
#include "scheduler/RecodeThread.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/playback_http_server.h"
#include "support/scheduler_doubles.h"
#include "support/scheduler_fake_clock.h"

namespace wavecrate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ReadFile;
using test::WriteFile;

void Make(const std::string& args) {
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -y " + args + " 2>&1", nullptr), 0) << args;
}

std::string Sine(double freq, double seconds, int rate = 44100) {
  return "-f lavfi -i 'sine=frequency=" + std::to_string(freq) + ":sample_rate=" + std::to_string(rate) +
         ":duration=" + std::to_string(seconds) + "'";
}

// A recording as the program writes it: a stereo tone through our encoder
// and WAV writer.
void MakeRecording(const std::string& path, double freq, double seconds) {
  ASSERT_TRUE(RegisterWavDestFilter());
  TGraph graph("recording");
  TGstPtr<GstElement> src = MakeElement("audiotestsrc");
  g_object_set(src.get(), "freq", freq, "volume", 0.5, "samplesperbuffer", 441, "num-buffers",
               static_cast<int>(seconds * 100), nullptr);
  TGstPtr<GstElement> caps = MakeElement("capsfilter");
  TGstPtr<GstCaps> c = AdoptGst(gst_caps_from_string("audio/x-raw,rate=44100,channels=2"));
  g_object_set(caps.get(), "caps", c.get(), nullptr);
  TGstPtr<GstElement> encoder = CreateMp3Encoder(TEncoderSettings{}, "MP3");
  TGstPtr<GstElement> writer = CreateWavDestFilter("WavMux");
  TGstPtr<GstElement> sink = CreateFileSink(path, TFileSinkMode::Bulk, "FileWriter");
  std::string error;
  ASSERT_TRUE(graph.AddAndLink({&src, &caps, &encoder, &writer, &sink}));
  ASSERT_TRUE(graph.Run(10s, &error)) << error;
  EXPECT_EQ(graph.WaitForEnd(60s, nullptr, &error), TGraphEnd::Eos) << error;
  graph.SetNull();
}

double FrequencyAt(const test::TDecoded& d, double second) {
  return test::DominantFrequency(d.Samples, static_cast<std::size_t>(second * test::kCheckRate) - 4096);
}

// The file begins with the clip's tone, continues with the recording's with
// no silence over 50 ms anywhere between, and lasts `seconds` within 0.2 s.
void ExpectMix(const std::string& path, double clipSeconds, double clipHz, double recHz, double seconds) {
  const std::string bytes = ReadFile(path);
  ASSERT_GT(bytes.size(), 58u);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(test::LeU16(bytes, 20), 0x55);  // MPEG layer 3
  const test::TDecoded d = test::DecodeWithGst(path);
  ASSERT_TRUE(d.Ok) << d.Error;
  EXPECT_NEAR(d.Seconds(), seconds, 0.2);
  EXPECT_NEAR(FrequencyAt(d, clipSeconds / 2), clipHz, 10);
  EXPECT_NEAR(FrequencyAt(d, clipSeconds - 0.1), clipHz, 10);
  EXPECT_NEAR(FrequencyAt(d, clipSeconds + 0.3), recHz, 10);
  EXPECT_NEAR(FrequencyAt(d, seconds - 0.3), recHz, 10);
  const std::size_t window = test::kCheckRate / 100;  // 10 ms
  int quiet = 0, longest = 0;
  for (std::size_t at = window * 10; at + window * 10 < d.Samples.size(); at += window) {
    quiet = test::Rms(d.Samples, at, window) < 0.01 ? quiet + 1 : 0;
    longest = std::max(longest, quiet);
  }
  EXPECT_LE(longest * 10, 50) << "ms of silence inside " << path;
}

class AdTest : public ::testing::Test {
 protected:
  AdTest() : server_(media_.Path().string()) {}

  TAd::TOptions Options() const {
    TAd::TOptions o;
    o.Encoder = TEncoderSettings{};
    o.Limits.DownloadTimeout = 2s;
    o.Limits.DownloadStallTimeout = 1s;
    return o;
  }
  std::string Url(const std::string& name) const { return server_.Base() + "/" + name; }
  std::string Scratch() const { return program_.File("TempSourceAudio.mp3"); }
  // Nothing but the raw recording (and the scratch clip) is left behind.
  void ExpectNoMixLeft() const {
    for (const auto& e : fs::directory_iterator(program_.Path())) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name == "TempSourceAudio.mp3" || name == "show.mp3") << name;
    }
  }

  test::TempDir media_;    // what the server serves
  test::TempDir program_;  // the program's folder, with the recording in it
  test::TPlaybackHttpServer server_;
  TCurlHttpClient http_;
};

TEST_F(AdTest, DownloadWritesTheWholeBodyAndOverwritesTheLastClip) {
  server_.SetRoutes(R"([{"path": "/a.mp3", "body_size": 2500, "pieces": 700},
                        {"path": "/b.mp3", "body": "second clip"},
                        {"path": "/moved", "status": 302, "location": "{base}/a.mp3", "body": "moved"},
                        {"path": "/endless", "stream": true}])");
  TAd ad(program_.Path().string(), http_, Options());
  EXPECT_EQ(ad.AdTempFile, Scratch());
  ad.AdUrl = Url("a.mp3");
  ASSERT_TRUE(ad.DownloadAd()) << ad.LastError();
  EXPECT_EQ(ReadFile(Scratch()), std::string(2500, 'x'));
  ad.AdUrl = Url("b.mp3");
  ASSERT_TRUE(ad.DownloadAd()) << ad.LastError();
  EXPECT_EQ(ReadFile(Scratch()), "second clip");
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header.at("user-agent"), ProgramFileName());
  // A redirect is followed and only the final body is kept.
  ad.AdUrl = Url("moved");
  ASSERT_TRUE(ad.DownloadAd()) << ad.LastError();
  EXPECT_EQ(ReadFile(Scratch()), std::string(2500, 'x'));
  // A body without a length is cut off at the byte bound.
  TAd::TOptions small = Options();
  small.Limits.MaxDownloadBytes = 4096;
  TAd bounded(program_.Path().string(), http_, small);
  bounded.AdUrl = Url("endless");
  EXPECT_FALSE(bounded.DownloadAd());
  EXPECT_NE(bounded.LastError().find("larger than"), std::string::npos) << bounded.LastError();
  EXPECT_EQ(ReadFile(Scratch()), std::string(2500, 'x'));
  EXPECT_FALSE(fs::exists(Scratch() + ".part"));
  ad.AdUrl = Url("b.mp3");
  ASSERT_TRUE(ad.DownloadAd());

  // No address: no request, and the scratch clip stays as it is.
  server_.ClearRequests();
  ad.AdUrl = "";
  EXPECT_FALSE(ad.DownloadAd());
  EXPECT_FALSE(ad.MixAdWithRecording(program_.File("show.mp3"), ""));
  EXPECT_TRUE(server_.Requests().empty());
  EXPECT_EQ(ReadFile(Scratch()), "second clip");
}

TEST_F(AdTest, WhatIsNoClipIsNeverMixedAndTheRecordingStaysByteForByte) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 3);
  const std::string raw = ReadFile(recording);
  Make(Sine(880, 2) + " -c:a libmp3lame '" + media_.File("clip.mp3") + "'");
  Make(Sine(880, 0.3) + " -c:a libmp3lame '" + media_.File("blip.mp3") + "'");
  Make("-f lavfi -i testsrc=size=64x48:rate=5:duration=2 -c:v mjpeg '" + media_.File("video.avi") + "'");
  const auto clipSize = fs::file_size(media_.File("clip.mp3"));
  server_.SetRoutes(R"([
    {"path": "/page", "content_type": "text/html", "body": "<html><body>Advertise here</body></html>"},
    {"path": "/gone", "status": 404, "file": "clip.mp3"},
    {"path": "/empty", "body": ""},
    {"path": "/cut", "file": "clip.mp3", "stall_after": )" +
                    std::to_string(clipSize / 2) + R"(},
    {"path": "/huge", "body_size": 20971521},
    {"path": "/endless", "stream": true},
    {"path": "/slow", "delay": 5, "file": "clip.mp3"},
    {"path": "/silent", "hold": true}])");
  const std::string dead = "http://127.0.0.1:" + std::to_string(test::PlaybackFreePort()) + "/clip.mp3";
  // What arrives whole but is no clip, and downloads that fail.
  const std::vector<std::string> urls = {Url("page"),
                                         Url("blip.mp3"),
                                         Url("video.avi"),
                                         Url("gone"),
                                         Url("empty"),
                                         Url("cut"),
                                         Url("huge"),
                                         Url("endless"),
                                         Url("slow"),
                                         Url("silent"),
                                         dead,
                                         "ftp://127.0.0.1/clip.mp3"};
  TAd ad(program_.Path().string(), http_, Options());
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    WriteFile(Scratch(), "last clip");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ad.MixAdWithRecording(recording, url));
    EXPECT_FALSE(ad.LastError().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(ReadFile(recording), raw);
    ExpectNoMixLeft();
    // A refused download leaves the last clip as it was.
    if (url != Url("page") && url != Url("blip.mp3") && url != Url("video.avi")) {
      EXPECT_EQ(ReadFile(Scratch()), "last clip");
    }
  }
  // A good clip, but a recording that is not audio.
  const std::string text = program_.File("text.mp3");
  WriteFile(text, std::string(100000, 'x'));
  EXPECT_FALSE(ad.MixAdWithRecording(text, Url("clip.mp3")));
  EXPECT_NE(ad.LastError().find("recording"), std::string::npos) << ad.LastError();
  EXPECT_EQ(ReadFile(text), std::string(100000, 'x'));
  fs::remove(text);
}

TEST_F(AdTest, FailuresInsideTheMixKeepTheRecordingAndTheStepUsable) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 20);
  const std::string raw = ReadFile(recording);
  Make(Sine(880, 1) + " -c:a libmp3lame '" + media_.File("clip.mp3") + "'");

  // A render bounded far below what it needs.
  {
    TAd::TOptions o = Options();
    o.RenderTimeMargin = -1h;  // the bound (mixed length plus this) has passed when the render starts
    TAd ad(program_.Path().string(), http_, o);
    EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3")));
    EXPECT_NE(ad.LastError().find("too long"), std::string::npos) << ad.LastError();
    EXPECT_EQ(ReadFile(recording), raw);
    ExpectNoMixLeft();
  }

  // A component that cannot be made: the encoder is taken out of the
  // registry for the time of the mix.
  {
    TAd ad(program_.Path().string(), http_, Options());
    TGstPtr<GstPluginFeature> feature =
        AdoptGst(gst_registry_lookup_feature(gst_registry_get(), "lamemp3enc"));
    ASSERT_TRUE(feature);
    gst_registry_remove_feature(gst_registry_get(), feature.get());
    EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3")));
    gst_registry_add_feature(gst_registry_get(), feature.get());
    EXPECT_NE(ad.LastError().find("could not be made"), std::string::npos) << ad.LastError();
    EXPECT_EQ(ReadFile(recording), raw);
    ExpectNoMixLeft();
    // The same step mixes once the component is back.
    EXPECT_TRUE(ad.MixAdWithRecording(recording, Url("clip.mp3")));
    EXPECT_EQ(ad.LastError(), "");
    EXPECT_NE(test::Probe(recording).find("mp3"), std::string::npos);
    WriteFile(recording, raw);
  }

  // Cancelled (the program's exit) while the download waits on a silent server.
  server_.SetRoutes(R"([{"path": "/silent", "hold": true}])");
  TAd::TOptions o = Options();
  o.Limits.DownloadTimeout = 60s;
  o.Limits.DownloadStallTimeout = 60s;
  TAd ad(program_.Path().string(), http_, o);
  std::thread cancel([&] {
    std::this_thread::sleep_for(500ms);
    ad.Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("silent")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  cancel.join();
  EXPECT_EQ(ReadFile(recording), raw);
}

TEST_F(AdTest, ClipGoesInFrontOfTheRecordingInPlace) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 10);
  Make(Sine(880, 3) + " -ac 2 -c:a libmp3lame -b:a 128k '" + media_.File("clip.mp3") + "'");
  TAd ad(program_.Path().string(), http_, Options());
  ASSERT_TRUE(ad.MixAdWithRecording(recording, Url("clip.mp3"))) << ad.LastError();
  EXPECT_EQ(ad.LastError(), "");
  const TAdTimeline t = ad.LastTimeline();
  EXPECT_NEAR(static_cast<double>(t.AdStop) / 1e7, 3.0, 0.06);
  EXPECT_EQ(t.RecordingStart, t.AdStop);
  EXPECT_NEAR(static_cast<double>(t.RecordingStop - t.RecordingStart) / 1e7, 10.0, 0.06);
  ExpectNoMixLeft();
  ExpectMix(recording, 3, 880, 440, static_cast<double>(t.RecordingStop) / 1e7);
}

// The media detector takes a WAVE recording's length from the data size in
// its header. A header that says less than the file holds (written early in
// the recording and not brought up to date) once made the step put the clip
// in front of a second of the show and rename that over the whole show.
TEST_F(AdTest, ARecordingWhoseHeaderUnderstatesItIsKeptWhole) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 20);
  Make(Sine(880, 3) + " -ac 2 -c:a libmp3lame -b:a 128k '" + media_.File("clip.mp3") + "'");
  const std::optional<TMpegStream> stream = LocateMpegStream(recording);
  ASSERT_TRUE(stream.has_value());
  const std::optional<TMpegCount> frames = CountMpegFrames(recording);
  ASSERT_TRUE(frames.has_value());
  EXPECT_NEAR(frames->Seconds, 20, 0.1);
  std::string bytes = ReadFile(recording);
  const std::uint32_t claimed = 80000;  // five seconds at 128 kbit/s
  for (int i = 0; i < 4; ++i) bytes[stream->Begin - 4 + i] = static_cast<char>((claimed >> (8 * i)) & 0xFF);
  WriteFile(recording, bytes);
  // The file still holds all its frames past the size it claims.
  EXPECT_EQ(CountMpegFrames(recording)->Frames, frames->Frames);

  TAd ad(program_.Path().string(), http_, Options());
  EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3")));
  EXPECT_NE(ad.LastError().find("length"), std::string::npos) << ad.LastError();
  EXPECT_TRUE(ReadFile(recording) == bytes) << "the recording was replaced";
  ExpectNoMixLeft();
}

TEST_F(AdTest, ClipsInOtherFormatsAreMixedIntoTheRecordingsOwnFormat) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 3);
  const std::string raw = ReadFile(recording);
  const std::vector<std::pair<std::string, std::string>> clips = {
      {"clip.m4a", Sine(880, 1) + " -ac 2 -c:a aac"},
      {"clip.ogg", Sine(880, 1) + " -ac 2 -c:a libvorbis"},
      {"clip.m4a", Sine(880, 1) + " -ac 2 -c:a aac"},
      {"clip.wav", Sine(880, 1) + " -ac 2"},
      {"mono.mp3", Sine(880, 1) + " -ac 1 -c:a libmp3lame"},
      {"low.mp3", Sine(880, 1, 22050) + " -ac 2 -c:a libmp3lame"},
      {"high.wav", Sine(880, 1, 48000) + " -ac 1"},
  };
  TAd ad(program_.Path().string(), http_, Options());
  for (const auto& [name, args] : clips) {
    SCOPED_TRACE(name);
    Make(args + " '" + media_.File(name) + "'");
    WriteFile(recording, raw);
    EXPECT_TRUE(ad.MixAdWithRecording(recording, Url(name)));
    ASSERT_EQ(ad.LastError(), "");
    const std::string probe = test::Probe(recording);
    EXPECT_NE(probe.find("sample_rate=44100"), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
    ExpectMix(recording, 1, 880, 440, static_cast<double>(ad.LastTimeline().RecordingStop) / 1e7);
  }
}

TEST_F(AdTest, ATaggedRecordingStaysATaggedFileWithItsTagsAfterTheClip) {
  const std::string wave = program_.File("show.wav.mp3"), recording = program_.File("show.mp3");
  MakeRecording(wave, 440, 10);
  TLocalTime start;
  start.Year = 2026, start.Month = 3, start.Day = 7, start.Hour = 8, start.Minute = 30, start.Second = 5;
  std::string error;
  ASSERT_TRUE(CopyToTaggedMp3(wave, recording,
                              MakeRecordingTags("Talk", "WXYZ", "http://x/talk", start, start), nullptr,
                              nullptr, &error))
      << error;
  fs::remove(wave);
  Make(Sine(880, 3) + " -ac 2 -c:a libmp3lame -b:a 128k '" + media_.File("clip.mp3") + "'");
  TAd ad(program_.Path().string(), http_, Options());
  EXPECT_TRUE(ad.MixAdWithRecording(recording, Url("clip.mp3")));
  ASSERT_EQ(ad.LastError(), "");
  ExpectNoMixLeft();

  const std::optional<TMpegStream> stream = LocateMpegStream(recording);
  ASSERT_TRUE(stream.has_value());
  EXPECT_EQ(stream->Type, TRecordingFileType::Tagged);
  const double total = static_cast<double>(ad.LastTimeline().RecordingStop) / 1e7;
  TXingCounts counts(recording);
  ASSERT_TRUE(counts.Count());
  EXPECT_NEAR(counts.Seconds() - counts.FrameSeconds(), total, 0.1);
  // The frame count that guards the step leaves the Xing frame out, as players do.
  const std::optional<TMpegCount> frames = CountMpegFrames(recording);
  ASSERT_TRUE(frames.has_value());
  EXPECT_EQ(frames->Frames + 1, counts.Frames());
  const test::TDecoded d = test::DecodeWithGst(recording);
  ASSERT_TRUE(d.Ok) << d.Error;
  EXPECT_NEAR(d.Seconds(), total, 0.2);
  EXPECT_NEAR(FrequencyAt(d, 1.5), 880, 10);
  EXPECT_NEAR(FrequencyAt(d, total - 0.3), 440, 10);
  TGstPtr<GstTagList> tags = ReadRecordingTagList(recording);
  ASSERT_TRUE(tags);
  gchar* title = nullptr;
  ASSERT_TRUE(gst_tag_list_get_string(tags.get(), GST_TAG_TITLE, &title));
  EXPECT_STREQ(title, "Talk 03-07-2026");
  g_free(title);
  GstDateTime* when = nullptr;
  ASSERT_TRUE(gst_tag_list_get_date_time(tags.get(), GST_TAG_DATE_TIME, &when));
  EXPECT_EQ(gst_date_time_get_minute(when), 30);
  EXPECT_EQ(gst_date_time_get_second(when), 5);
  gst_date_time_unref(when);
}

// Records by copying a prepared file into place, then polls its stop flag
// once a second through the clock, as the real capture does.
class TCopyCapture final : public TCaptureThreadBase {
 public:
  TCopyCapture(test::TFakeClock& clock, std::string from) : clock_(clock), from_(std::move(from)) {}
  ~TCopyCapture() override { WaitFor(); }

 protected:
  void Execute() override {
    std::error_code ec;
    fs::copy_file(from_, OutputFileName, fs::copy_options::overwrite_existing, ec);
    // It sleeps in the clock beside its slot thread while it "records".
    clock_.AddCompanions(1);
    StartedEvent.SetEvent();
    clock_.SleepFor(500ms);  // out of step with the slot thread's looks
    while (!StopRequested.load()) clock_.SleepFor(1000ms);
    DoneEvent.SetEvent();
    clock_.AddCompanions(-1);
  }

 private:
  test::TFakeClock& clock_;
  std::string from_;
};

TEST_F(AdTest, TwoSlotsEndingInTheSameMinuteEachGetTheirOwnClip) {
  const double clipHz[] = {1320, 660}, recHz[] = {440, 880};
  for (int i = 0; i < 2; ++i) {
    MakeRecording(media_.File("take" + std::to_string(i) + ".mp3"), recHz[i], 4);
    Make(Sine(clipHz[i], 1) + " -ac 2 -c:a libmp3lame '" + media_.File("ad" + std::to_string(i) + ".mp3") +
         "'");
  }
  test::TempDir shows;
  test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 8, 29, 58));
  test::TEndMinuteStopper stopper(clock);
  std::vector<std::unique_ptr<TAd>> ads;
  std::vector<std::unique_ptr<TRecodeThread>> threads;
  // Ends the threads on every way out, failed assertions too.
  struct TEnd {
    test::TFakeClock& Clock;
    std::vector<std::unique_ptr<TRecodeThread>>& Threads;
    ~TEnd() {
      for (auto& t : Threads) t->StopRequested = true;
      Clock.ReleaseAll();
      Threads.clear();
    }
  } end{clock, threads};
  for (int i = 0; i < 2; ++i) {
    ads.push_back(std::make_unique<TAd>(program_.Path().string(), http_, Options()));
    const std::string take = media_.File("take" + std::to_string(i) + ".mp3");
    threads.push_back(std::make_unique<TRecodeThread>(
        clock, [&clock, take] { return std::make_shared<TCopyCapture>(clock, take); }, *ads.back()));
    TSlotSettings s;
    s.FileNameFormat = "showname";
    s.StartTime = "08:30:00";
    s.EndTime = "08:31:00";
    s.Enabled = true;
    s.DayFlags = 1;
    s.SaveFolder = shows.Path().string() + "/";
    s.ShowName = "Show" + std::to_string(i);
    s.AdUrl = Url("ad" + std::to_string(i) + ".mp3");
    threads.back()->SetSettings(s);
    stopper.Add(*threads.back());
  }
  clock.SetParticipants(2);
  for (auto& t : threads) t->Resume();
  ASSERT_TRUE(clock.RunUntil(test::TFakeClock::At(2008, 1, 5, 8, 31, 10), std::ref(stopper)));
  for (int i = 0; i < 2; ++i) {
    ExpectMix(shows.File("Show" + std::to_string(i) + ".mp3"), 1, clipHz[i], recHz[i],
              static_cast<double>(ads[i]->LastTimeline().RecordingStop) / 1e7);
  }
}

}  // namespace
}  // namespace wavecrate
