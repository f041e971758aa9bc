// The advertisement step on real components: clips served by the loopback
// HTTP server, fetched by the libcurl client, measured and mixed with GES,
// converted by the real conversion thread; files made by ffmpeg and checked by
// decoding them.
#include "scheduler/gst/AdMixer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "audio/MP3Thread.h"
#include "audio/RecordingFile.h"
#include "audio/gst/Mp3Converter.h"
#include "audio/gst/TaggedMp3.h"
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
using TOutput = TAd::TOutput;

void Make(const std::string& args) {
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -v error -y " + args + " 2>&1", nullptr), 0) << args;
}

std::string Sine(double freq, double seconds, int rate = 44100) {
  return "-f lavfi -i 'sine=frequency=" + std::to_string(freq) + ":sample_rate=" + std::to_string(rate) +
         ":duration=" + std::to_string(seconds) + "'";
}

TGstMp3Converter::TOptions Cbr128() {
  TGstMp3Converter::TOptions o;
  o.Encoder = TEncoderSettings{};
  return o;
}

// A recording as the program writes it: our encoder and WAV writer.
void MakeRecording(const std::string& path, double freq, double seconds) {
  Make(Sine(freq, seconds) + " -ac 2 '" + path + ".wav'");
  TGstMp3Converter converter(Cbr128());
  ASSERT_TRUE(converter.ConvertToMp3(path + ".wav", path)) << converter.LastError();
  fs::remove(path + ".wav");
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

  TAd::TOptions Options(TOutput output) const {
    TAd::TOptions o;
    o.Output = output;
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
  TAd ad(program_.Path().string(), http_, Options(TOutput::Mp3InPlace));
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
  TAd::TOptions small = Options(TOutput::Mp3InPlace);
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
  std::string mixed;
  EXPECT_FALSE(ad.MixAdWithRecording(program_.File("show.mp3"), "", mixed));
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
  // Downloads that fail the same way whatever the output; then what arrives
  // whole but is no clip, for both outputs.
  const std::vector<std::string> refused = {Url("gone"),   Url("empty"),   Url("cut"),
                                            Url("huge"),   Url("endless"), Url("slow"),
                                            Url("silent"), dead,           "ftp://127.0.0.1/clip.mp3"};
  const std::vector<std::string> notAClip = {Url("page"), Url("blip.mp3"), Url("video.avi")};
  for (TOutput output : {TOutput::Mp3InPlace, TOutput::PcmAvi}) {
    TAd ad(program_.Path().string(), http_, Options(output));
    std::vector<std::string> urls = notAClip;
    if (output == TOutput::Mp3InPlace) urls.insert(urls.end(), refused.begin(), refused.end());
    for (const std::string& url : urls) {
      SCOPED_TRACE(url);
      WriteFile(Scratch(), "last clip");
      const auto start = std::chrono::steady_clock::now();
      std::string mixed;
      EXPECT_FALSE(ad.MixAdWithRecording(recording, url, mixed));
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
    std::string mixed;
    EXPECT_FALSE(ad.MixAdWithRecording(text, Url("clip.mp3"), mixed));
    EXPECT_NE(ad.LastError().find("recording"), std::string::npos) << ad.LastError();
    EXPECT_EQ(ReadFile(text), std::string(100000, 'x'));
    fs::remove(text);
  }
}

TEST_F(AdTest, FailuresInsideTheMixKeepTheRecordingAndTheStepUsable) {
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 20);
  const std::string raw = ReadFile(recording);
  Make(Sine(880, 1) + " -c:a libmp3lame '" + media_.File("clip.mp3") + "'");
  std::string mixed;

  // A render bounded far below what it needs.
  for (TOutput output : {TOutput::Mp3InPlace, TOutput::PcmAvi}) {
    TAd::TOptions o = Options(output);
    o.RenderTimeMargin = -1h;  // the bound (mixed length plus this) has passed when the render starts
    TAd ad(program_.Path().string(), http_, o);
    EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3"), mixed));
    EXPECT_NE(ad.LastError().find("too long"), std::string::npos) << ad.LastError();
    EXPECT_EQ(ReadFile(recording), raw);
    ExpectNoMixLeft();
  }

  // A component that cannot be made: the element is taken out of the
  // registry for the time of the mix.
  for (auto [output, element] : {std::pair{TOutput::Mp3InPlace, "lamemp3enc"}, {TOutput::PcmAvi, "avimux"}}) {
    TAd ad(program_.Path().string(), http_, Options(output));
    TGstPtr<GstPluginFeature> feature = AdoptGst(gst_registry_lookup_feature(gst_registry_get(), element));
    ASSERT_TRUE(feature);
    gst_registry_remove_feature(gst_registry_get(), feature.get());
    EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3"), mixed));
    gst_registry_add_feature(gst_registry_get(), feature.get());
    EXPECT_NE(ad.LastError().find("could not be made"), std::string::npos) << ad.LastError();
    EXPECT_EQ(ReadFile(recording), raw);
    ExpectNoMixLeft();
    // The same step mixes once the component is back.
    EXPECT_EQ(ad.MixAdWithRecording(recording, Url("clip.mp3"), mixed), output == TOutput::PcmAvi);
    EXPECT_EQ(ad.LastError(), "");
    const std::string result = output == TOutput::PcmAvi ? mixed : recording;
    EXPECT_NE(test::Probe(result).find(output == TOutput::PcmAvi ? "pcm_s16le" : "mp3"), std::string::npos);
    WriteFile(recording, raw);
    fs::remove(program_.File("TempOutput.avi"));
  }

  // Cancelled (the program's exit) while the download waits on a silent server.
  server_.SetRoutes(R"([{"path": "/silent", "hold": true}])");
  TAd::TOptions o = Options(TOutput::Mp3InPlace);
  o.Limits.DownloadTimeout = 60s;
  o.Limits.DownloadStallTimeout = 60s;
  TAd ad(program_.Path().string(), http_, o);
  std::thread cancel([&] {
    std::this_thread::sleep_for(500ms);
    ad.Cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("silent"), mixed));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  cancel.join();
  EXPECT_EQ(ReadFile(recording), raw);
}

TEST_F(AdTest, ClipGoesInFrontThroughTheConversionThreadOrInPlaceAlike) {
  // The AVI way: the mix, then the real conversion thread replaces the
  // recording and removes the mixed file.
  const std::string recording = program_.File("show.mp3");
  MakeRecording(recording, 440, 10);
  const std::string raw = ReadFile(recording);
  Make(Sine(880, 3) + " -ac 2 -c:a libmp3lame -b:a 128k '" + media_.File("clip.mp3") + "'");
  TGstMp3Converter converter(Cbr128());
  TMP3Thread mp3(SystemClock(), converter);
  TAd::TOptions o = Options(TOutput::PcmAvi);
  o.StillQueued = [&](const std::string& file) {
    for (const TMp3Job& job : mp3.Jobs())
      if (job.Source == file) return true;
    return false;
  };
  TAd ad(program_.Path().string(), http_, o);
  std::string mixed;
  ASSERT_TRUE(ad.MixAdWithRecording(recording, Url("clip.mp3"), mixed)) << ad.LastError();
  EXPECT_EQ(mixed, program_.File("TempOutput.avi"));
  EXPECT_EQ(ReadFile(recording), raw);  // untouched until converted
  EXPECT_NE(test::Probe(mixed).find("codec_name=pcm_s16le"), std::string::npos) << test::Probe(mixed);
  const TAdTimeline t = ad.LastTimeline();
  EXPECT_NEAR(static_cast<double>(t.AdStop) / 1e7, 3.0, 0.06);
  EXPECT_EQ(t.RecordingStart, t.AdStop);
  EXPECT_NEAR(static_cast<double>(t.RecordingStop - t.RecordingStart) / 1e7, 10.0, 0.06);
  const double total = static_cast<double>(t.RecordingStop) / 1e7;
  mp3.AddJob({mixed, recording + ".bak"});
  mp3.Resume();
  ASSERT_TRUE(test::WaitUntil([&] { return mp3.Converted() + mp3.Failed() == 1; }, 60s));
  ASSERT_EQ(mp3.Converted(), 1);
  EXPECT_FALSE(fs::exists(mixed));
  ExpectMix(recording, 3, 880, 440, total);
  const std::string viaAvi = ReadFile(recording);

  // In place: the same samples reach the same encoder, so the same file.
  WriteFile(recording, raw);
  TAd inPlace(program_.Path().string(), http_, Options(TOutput::Mp3InPlace));
  EXPECT_FALSE(inPlace.MixAdWithRecording(recording, Url("clip.mp3"), mixed));  // nothing left to convert
  EXPECT_EQ(inPlace.LastError(), "");
  ExpectNoMixLeft();
  EXPECT_TRUE(ReadFile(recording) == viaAvi) << "the two ways give different files";
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
  TAd ad(program_.Path().string(), http_, Options(TOutput::Mp3InPlace));
  for (const auto& [name, args] : clips) {
    SCOPED_TRACE(name);
    Make(args + " '" + media_.File(name) + "'");
    WriteFile(recording, raw);
    std::string mixed;
    ad.MixAdWithRecording(recording, Url(name), mixed);
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
  TAd ad(program_.Path().string(), http_, Options(TOutput::Mp3InPlace));
  std::string mixed;
  EXPECT_FALSE(ad.MixAdWithRecording(recording, Url("clip.mp3"), mixed));
  ASSERT_EQ(ad.LastError(), "");
  ExpectNoMixLeft();

  const std::optional<TMpegStream> stream = LocateMpegStream(recording);
  ASSERT_TRUE(stream.has_value());
  EXPECT_EQ(stream->Type, TRecordingFileType::Tagged);
  const double total = static_cast<double>(ad.LastTimeline().RecordingStop) / 1e7;
  TXingCounts counts(recording);
  ASSERT_TRUE(counts.Count());
  EXPECT_NEAR(counts.Seconds() - counts.FrameSeconds(), total, 0.1);
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

TEST(AdCompressor, FoundByItsExactLongNameAmongAudioEncodersOnly) {
  TGstPtr<GstElement> lame = TAd::FindAudioCompressor("L.A.M.E. mp3 encoder");
  ASSERT_TRUE(lame);
  TGstPtr<GstElementFactory> factory = RefGst(gst_element_get_factory(lame.get()));
  EXPECT_STREQ(GST_OBJECT_NAME(factory.get()), "lamemp3enc");
  EXPECT_STREQ(GST_ELEMENT_NAME(lame.get()), "Compressor");
  EXPECT_FALSE(TAd::FindAudioCompressor("l.a.m.e. mp3 encoder"));
  EXPECT_FALSE(TAd::FindAudioCompressor("L.A.M.E. mp3 encoder "));
  EXPECT_FALSE(TAd::FindAudioCompressor("Avi muxer"));  // not an encoder
  EXPECT_FALSE(TAd::FindAudioCompressor(kAdCompressorName));
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
  for (TOutput output : {TOutput::PcmAvi, TOutput::Mp3InPlace}) {
    SCOPED_TRACE(output == TOutput::PcmAvi ? "through TempOutput.avi" : "in place");
    test::TempDir shows;
    TGstMp3Converter converter(Cbr128());
    TMP3Thread mp3(SystemClock(), converter);
    mp3.Resume();
    TAd::TOptions o = Options(output);
    o.StillQueued = [&](const std::string& file) {
      for (const TMp3Job& job : mp3.Jobs())
        if (job.Source == file) return true;
      return false;
    };
    test::TFakeClock clock(test::TFakeClock::At(2008, 1, 5, 8, 29, 58));
    test::TEndMinuteStopper stopper(clock);
    std::vector<std::unique_ptr<TAd>> ads;
    std::vector<std::unique_ptr<TRecodeThread>> threads;
    // Ends the threads on every way out of the loop, failed assertions too.
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
      ads.push_back(std::make_unique<TAd>(program_.Path().string(), http_, o));
      const std::string take = media_.File("take" + std::to_string(i) + ".mp3");
      threads.push_back(std::make_unique<TRecodeThread>(
          clock, [&clock, take] { return std::make_shared<TCopyCapture>(clock, take); }, *ads.back(), &mp3,
          program_.Path().string()));
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
    const int queued = output == TOutput::PcmAvi ? 2 : 0;
    ASSERT_TRUE(test::WaitUntil([&] { return mp3.Converted() + mp3.Failed() == queued; }, 60s));
    EXPECT_EQ(mp3.Converted(), queued);
    for (int i = 0; i < 2; ++i) {
      ExpectMix(shows.File("Show" + std::to_string(i) + ".mp3"), 1, clipHz[i], recHz[i],
                static_cast<double>(ads[i]->LastTimeline().RecordingStop) / 1e7);
    }
  }
}

}  // namespace
}  // namespace wavecrate
