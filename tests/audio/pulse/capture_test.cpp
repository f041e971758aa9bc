// The capture thread against a real PulseAudio and real GStreamer: what it
// records (checked by decoding the file), muting, gaps in the sound, the
// server going away, and that DoneEvent comes on every path.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "audio/RecordingFile.h"
#include "audio/gst/AudioCaptureThread.h"
#include "audio/pulse/PulseTestSupport.h"
#include "playback/gst/WindowsMediaPlayer.h"
#include "support/TempDir.h"
#include "support/playback_icecast.h"

namespace wavecrate::test {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr double kAudible = 0.05;
constexpr double kSilent = 0.001;

double Seconds(SteadyClock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::shared_ptr<TAudioCaptureThread> MakeCapture(std::shared_ptr<TRecordingMixer> mixer,
                                                 const std::string& path, bool isMute = false,
                                                 bool isVista = false) {
  auto capture = std::make_shared<TAudioCaptureThread>(std::move(mixer));
  capture->OutputFileName = path;
  capture->IsMute = isMute;
  capture->IsVista = isVista;
  return capture;
}

std::shared_ptr<TStereoMix> PrivateMix(const PrivatePulse& pulse) {
  TStereoMix::TOptions options;
  options.Server = pulse.Address();
  options.PointPlaybackHere = false;
  options.RetryInterval = 200ms;
  auto mix = std::make_shared<TStereoMix>(options);
  mix->Start();
  return mix;
}

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  return v;
}

// The file carries the exact header written at the stop: both size fields
// agree with the file's real size.
void ExpectExactHeader(const std::string& path) {
  const std::string bytes = ReadFile(path);
  ASSERT_GE(bytes.size(), 44u) << path;
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 4), "WAVE");
  EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8);
  const std::size_t data = bytes.find("data", 12);
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(Le32(bytes, data + 4), bytes.size() - data - 8);
}

// Level and pitch of channel 0 between two points of a recording.
double LevelBetween(const TPcm& pcm, double from, double to) {
  return Rms(pcm.Channel(0, static_cast<std::size_t>(from * pcm.Rate),
                         static_cast<std::size_t>((to - from) * pcm.Rate)));
}
double PitchBetween(const TPcm& pcm, double from, double to) {
  return DominantFrequency(pcm.Channel(0, static_cast<std::size_t>(from * pcm.Rate),
                                       static_cast<std::size_t>((to - from) * pcm.Rate)),
                           pcm.Rate);
}

// The first point after `from` where 50 ms windows turn loud.
double OnsetAfter(const TPcm& pcm, double from) {
  const std::size_t window = static_cast<std::size_t>(pcm.Rate) / 20;
  const auto levels = WindowedRms(pcm, window);
  for (std::size_t i = static_cast<std::size_t>(from * 20); i < levels.size(); ++i) {
    if (levels[i] > kAudible) return static_cast<double>(i) / 20;
  }
  return -1;
}

// A file's length as ffprobe gives it, and as GStreamer's discoverer does
// (-1 when the reader fails).
double ProbedSeconds(const std::string& path) {
  const std::string out = Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                ShellQuote(path) + " 2>/dev/null");
  return out.empty() ? -1 : std::atof(out.c_str());
}
double DiscoveredSeconds(const std::string& path) {
  const std::string out = Shell("gst-discoverer-1.0 " + ShellQuote(path) + " 2>/dev/null");
  const std::size_t at = out.find("Duration: ");
  int h = 0, m = 0;
  double s = 0;
  if (at == std::string::npos || std::sscanf(out.c_str() + at, "Duration: %d:%d:%lf", &h, &m, &s) != 3)
    return -1;
  return h * 3600 + m * 60 + s;
}
// What Debian's python3-mutagen reads: "length=<s>" and one "<frame>=<text>"
// line per ID3 text frame, or its error.
std::string MutagenSays(const std::string& path) {
  return Shell(
      "/usr/bin/python3 -c 'import sys, mutagen.mp3 as m\n"
      "f = m.MP3(sys.argv[1])\n"
      "print(\"version=%d.%d\" % f.tags.version[:2])\n"
      "print(\"length=%.3f\" % f.info.length)\n"
      "for k in sorted(f.tags.keys()): print(\"%s=%s\" % (k, f.tags[k]))' " +
      ShellQuote(path) + " 2>&1");
}

TRecordingTags ShowTags() {
  TLocalTime start;
  start.Year = 2026, start.Month = 3, start.Day = 7, start.Hour = 8, start.Minute = 30, start.Second = 5;
  return MakeRecordingTags("Morning Talk", "WXYZ 101.5", "http://127.0.0.1:8000/talk", start, start);
}

// Amplitude of the tone at `hz` (channel 0) between two points of a recording.
double ToneBetween(const TPcm& pcm, double hz, double from, double to) {
  return ToneAmplitude(pcm.Channel(0, static_cast<std::size_t>(from * pcm.Rate),
                                   static_cast<std::size_t>((to - from) * pcm.Rate)),
                       pcm.Rate, hz);
}

// The typical amplitude of the tone at `hz` over 100 ms windows: a dropout
// of a loaded machine (silence for a moment) does not move it, while a
// recording that lacks the tone for most of the span fails.
double TypicalToneBetween(const TPcm& pcm, double hz, double from, double to) {
  std::vector<double> amplitudes;
  for (double t = from; t + 0.1 <= to; t += 0.1) amplitudes.push_back(ToneBetween(pcm, hz, t, t + 0.1));
  if (amplitudes.empty()) return 0;
  std::nth_element(amplitudes.begin(), amplitudes.begin() + amplitudes.size() / 2, amplitudes.end());
  return amplitudes[amplitudes.size() / 2];
}

double Db(double ratio) {
  return 20 * std::log10(ratio);
}

// Turns the default main context (the players' messages) until `done` or
// the time-out; returns done()'s last value.
bool TurnMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = SteadyClock::now() + timeout;
  while (!done() && SteadyClock::now() < end) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

// Beside it, a station's stream played by slot 1's real player into the
// slot's own mix is recorded at the level the station sends (a tone of
// amplitude 0.5 stays 0.5), while the speakers hear it at the players' half
// volume, as they always did. Station and recording at 320 kbit/s: at 128
// libmp3lame itself takes about 0.45 dB off a tone, in each generation.
TEST(AudioCapture, RecordsTheProgramsSoundIntoAFinishedFileAsLongAsItRan) {
  TempDir dir;
  auto mix = TestMix();
  ASSERT_TRUE(mix->MixLoaded());
  TPlaybackIcecast station(1500, "/level.mp3", 0.5, 320);
  TWindowsMediaPlayer player;
  const std::string slotSink = mix->SlotSink(1);
  ASSERT_EQ(slotSink, mix->SlotSinkName(1));
  player.AudioDevice = [&] { return slotSink; };
  player.SinkCarriesVolume = [&](const std::string& sink) { return mix->SinkCarriesPlayerVolume(sink); };
  player.SetURL(station.StreamUrl());
  ASSERT_TRUE(TurnMainLoopUntil([&] { return player.PlayState() == TPlayState::Playing; }, 20s));
  EXPECT_EQ(player.Volume(), 50);
  TCaptureOptions at320;
  at320.Encoder = TEncoderSettings{};
  at320.Encoder->Bitrate = 320;
  auto slotCapture = std::make_shared<TAudioCaptureThread>(mix, at320);
  slotCapture->OutputFileName = dir.File("slot.mp3");
  slotCapture->Slot = 1;
  slotCapture->Resume();
  auto tone = PlayTone(1000);
  auto capture = MakeCapture(mix, dir.File("show.mp3"));
  const auto resumed = SteadyClock::now();
  capture->Resume();
  // Told as soon as it records, long before it is finished.
  ASSERT_TRUE(capture->StartedEvent.WaitFor(2s));
  const auto started = SteadyClock::now();
  EXPECT_FALSE(capture->DoneEvent.IsSet());
  EXPECT_EQ(capture->Outcome().Fault, TCaptureFault::None);
  std::this_thread::sleep_for(4s);
  const auto stopAsked = SteadyClock::now();
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  const double stopToFinished = Seconds(SteadyClock::now() - stopAsked);
  const TCaptureStats stats = capture->Stats();

  EXPECT_EQ(stats.Device, mix->MonitorSource());
  EXPECT_TRUE(stats.Ran);
  EXPECT_TRUE(stats.Finished) << stats.Failure;
  EXPECT_FALSE(stats.Muted);
  // A stop takes effect within about a second (the benchmark measures it
  // precisely); generous here for a loaded machine.
  EXPECT_LT(stopToFinished, 1.5);
  ExpectExactHeader(dir.File("show.mp3"));

  const TPcm pcm = Decode(dir.File("show.mp3"));
  // The file ends at the stop: the sound up to it is waited for, what came
  // after it is cut. It begins between the resume and the moment the capture
  // said it records (how long the sound server takes to start a loaded
  // machine's stream is not the file's to hold).
  const double longest = Seconds(stats.StopSeen - resumed), shortest = Seconds(stats.StopSeen - started);
  EXPECT_GE(pcm.Seconds(), shortest - 0.1) << "decoded " << pcm.Frames() << " frames";
  EXPECT_LE(pcm.Seconds(), longest + 0.1) << "decoded " << pcm.Frames() << " frames";
  EXPECT_GT(LevelBetween(pcm, 1.0, 3.5), kAudible);
  EXPECT_NEAR(PitchBetween(pcm, 1.0, 3.5), 1000, 10);

  const TPcm speakers = Listen("speakers.monitor", 1500ms);
  ASSERT_TRUE(StopAndWait(*slotCapture, 10s));
  player.SetURL("");
  EXPECT_EQ(slotCapture->Stats().Device, MonitorSourceName(slotSink));
  const TPcm slot = Decode(dir.File("slot.mp3"));
  ASSERT_GT(slot.Seconds(), 4.0);
  const double recorded = TypicalToneBetween(slot, 1500, 1.0, slot.Seconds() - 0.3);
  EXPECT_NEAR(Db(recorded / 0.5), 0, 0.5) << "the station's 0.5 was recorded at " << recorded;
  const double heard = TypicalToneBetween(speakers, 1500, 0.1, speakers.Seconds() - 0.1);
  EXPECT_NEAR(Db(heard / 0.25), 0, 1.0) << "the speakers heard " << heard << " of the station's 0.5";
}

TEST(AudioCapture, BothFileTypesTellReadersTheirLengthAndTheTaggedOneItsTags) {
  TempDir dir;
  auto tone = PlayTone(1000);
  const std::string wave = dir.File("wave.mp3"), tagged = dir.File("tagged.mp3");
  auto first = MakeCapture(TestMix(), wave);
  auto second = MakeCapture(TestMix(), tagged);
  second->FileType = TRecordingFileType::Tagged;
  second->Tags = ShowTags();
  first->Resume();
  second->Resume();
  ASSERT_TRUE(first->StartedEvent.WaitFor(2s));
  ASSERT_TRUE(second->StartedEvent.WaitFor(2s));
  std::this_thread::sleep_for(5s);
  first->StopRequested = true;
  ASSERT_TRUE(StopAndWait(*second, 10s));
  ASSERT_TRUE(StopAndWait(*first, 10s));

  for (const auto& capture : {first, second}) {
    const std::string& path = capture->OutputFileName;
    const TCaptureStats stats = capture->Stats();
    const TCaptureOutcome outcome = capture->Outcome();
    EXPECT_TRUE(stats.Finished) << path << ": " << stats.Failure;
    EXPECT_EQ(outcome.Fault, TCaptureFault::None) << outcome.Failure;
    // The clock: from the first sound captured to the stop.
    ASSERT_TRUE(stats.FirstBuffer.has_value());
    const double clock = Seconds(stats.StopSeen - *stats.FirstBuffer + stats.FirstBufferDuration);
    EXPECT_NEAR(outcome.Seconds, clock, 0.1) << path;
    // The readers tell the length the file holds (the clock's own reading
    // of the first buffer moves with the machine's load).
    EXPECT_NEAR(ProbedSeconds(path), outcome.Seconds, 0.1) << path;
    EXPECT_NEAR(DiscoveredSeconds(path), outcome.Seconds, 0.1) << path;
    const TPcm pcm = Decode(path);
    EXPECT_NEAR(pcm.Seconds(), outcome.Seconds, 0.1) << path;
    EXPECT_NEAR(PitchBetween(pcm, 1.0, 4.0), 1000, 10) << path;
  }
  ExpectExactHeader(wave);  // the WAVE file as earlier versions wrote it

  // The tagged file: an ID3v2.4 tag in front, then MPEG audio with a Xing
  // frame whose counts were written at the stop.
  const std::string head = ReadFile(tagged).substr(0, 4);
  EXPECT_EQ(head, std::string("ID3\x04", 4));
  const std::string said = MutagenSays(tagged);
  EXPECT_NE(said.find("version=2.4"), std::string::npos) << said;
  EXPECT_NE(said.find("TIT2=Morning Talk 03-07-2026"), std::string::npos) << said;
  EXPECT_NE(said.find("TPE1=WXYZ 101.5"), std::string::npos) << said;
  EXPECT_NE(said.find("TALB=Morning Talk"), std::string::npos) << said;
  EXPECT_NE(said.find("TCON=Speech"), std::string::npos) << said;
  EXPECT_NE(said.find("TDRC=2026-03-07 08:30:05"), std::string::npos) << said;
  EXPECT_NE(said.find("COMM::XXX=http://127.0.0.1:8000/talk"), std::string::npos) << said;  // no description
  const std::string discovered = Shell("gst-discoverer-1.0 -v " + ShellQuote(tagged) + " 2>/dev/null");
  EXPECT_NE(discovered.find("Morning Talk 03-07-2026"), std::string::npos) << discovered;
  EXPECT_NE(discovered.find("WXYZ 101.5"), std::string::npos) << discovered;
}

TEST(AudioCapture, BothDeviceRulesFindTheProgramsMixAndTheDefaultsStayAsTheyWere) {
  auto mix = TestMix();
  const std::string before = Pactl("info");
  auto capture = MakeCapture(mix, "/dev/null");
  // Without the Vista option: the first device, which is our mix.
  EXPECT_EQ(capture->FindCaptureSource(), std::optional<std::string>(mix->MonitorSource()));
  // With it: the first name holding "Stereo" ("Monitor of Wavecrate Stereo Mix").
  capture->IsVista = true;
  EXPECT_EQ(capture->FindCaptureSource(), std::optional<std::string>(mix->MonitorSource()));
  EXPECT_TRUE(capture->SelectStereoMixLine());
  auto line = [](const std::string& info, const std::string& key) {
    const auto at = info.find(key);
    return at == std::string::npos ? std::string() : info.substr(at, info.find('\n', at) - at);
  };
  const std::string after = Pactl("info");
  EXPECT_EQ(line(after, "Default Sink:"), line(before, "Default Sink:"));
  EXPECT_EQ(line(after, "Default Source:"), line(before, "Default Source:"));
}

TEST(AudioCapture, MutedRecordingsKeepTheSoundSilenceTheSpeakersAndTheLastOneRestores) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  // The user's own setting for the program's sound: 60 %, not muted.
  ASSERT_TRUE(WaitUntil([&] { return mix->LoopbackState().has_value(); }, 2s));
  std::string inputs = Pactl("list short sink-inputs", server);
  const std::string input = inputs.substr(0, inputs.find('\t'));
  Pactl("set-sink-input-volume " + input + " 39322", server);
  const auto before = mix->LoopbackState();
  ASSERT_EQ(before->Channels, (std::vector<std::uint32_t>{39322, 39322}));

  auto tone = PlayTone(500, 0.5, mix->SinkName(), server);
  TempDir dir;
  auto first = MakeCapture(mix, dir.File("first.mp3"), true);
  auto second = MakeCapture(mix, dir.File("second.mp3"), true);
  first->Resume();
  std::this_thread::sleep_for(1500ms);
  second->Resume();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(Rms(Listen("speakers.monitor", 800ms, server).Channel(0)), kSilent);

  ASSERT_TRUE(StopAndWait(*first, 10s));
  // The second recording still runs: the speakers stay silent.
  EXPECT_TRUE(mix->LoopbackState()->Muted);
  EXPECT_LT(Rms(Listen("speakers.monitor", 800ms, server).Channel(0)), kSilent);
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(StopAndWait(*second, 10s));
  EXPECT_EQ(mix->LoopbackState(), before);
  EXPECT_GT(Rms(Listen("speakers.monitor", 800ms, server).Channel(0)), kAudible / 2);

  EXPECT_TRUE(first->Stats().Muted);
  for (const char* name : {"first.mp3", "second.mp3"}) {
    const TPcm pcm = Decode(dir.File(name));
    ASSERT_GT(pcm.Seconds(), 1.5) << name;
    EXPECT_GT(LevelBetween(pcm, 0.5, pcm.Seconds() - 0.3), kAudible) << name;
    EXPECT_NEAR(PitchBetween(pcm, 0.5, pcm.Seconds() - 0.3), 500, 10) << name;
  }
}

TEST(AudioCapture, LastsAsLongAsTheClockAcrossSilenceAndKeepsSoundAtItsTime) {
  TempDir dir;
  auto mix = TestMix();
  auto capture = MakeCapture(mix, dir.File("gap.mp3"));
  auto tone = PlayTone(700);
  const auto resumed = SteadyClock::now();
  capture->Resume();
  std::this_thread::sleep_for(1500ms);
  tone.reset();  // nothing plays for six seconds
  std::this_thread::sleep_for(6s);
  const double secondToneAt = Seconds(SteadyClock::now() - resumed);
  tone = PlayTone(700);
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  const TCaptureStats stats = capture->Stats();

  const TPcm pcm = Decode(dir.File("gap.mp3"));
  EXPECT_NEAR(pcm.Seconds(), Seconds(stats.StopSeen - resumed), 0.3);
  // The outcome tells how long the file is and how much of it is silence.
  const TCaptureOutcome outcome = capture->Outcome();
  EXPECT_TRUE(outcome.Ran);
  EXPECT_TRUE(outcome.Finished);
  EXPECT_EQ(outcome.Failure, "");
  EXPECT_NEAR(outcome.Seconds, pcm.Seconds(), 0.2);
  EXPECT_NEAR(outcome.SilentSeconds, secondToneAt - 1.5, 0.8);
  EXPECT_GT(LevelBetween(pcm, 0.3, 1.2), kAudible);
  EXPECT_LT(LevelBetween(pcm, 2.5, secondToneAt - 0.5), kSilent);
  EXPECT_NEAR(OnsetAfter(pcm, 2.5), secondToneAt, 0.35);
  EXPECT_GT(LevelBetween(pcm, secondToneAt + 0.5, pcm.Seconds() - 0.2), kAudible);
  // The six silent seconds are listed where the file has them; the short
  // silences at the start and the end are not.
  ASSERT_EQ(outcome.Gaps.size(), 1u);
  EXPECT_GT(outcome.Gaps[0].StartSeconds, 1.2);
  EXPECT_LT(outcome.Gaps[0].StartSeconds, 2.5);
  EXPECT_NEAR(outcome.Gaps[0].StartSeconds + outcome.Gaps[0].Seconds, OnsetAfter(pcm, 2.5), 0.3);
}

TEST(AudioCapture, AStalledServerLeavesNoHoleInTheTimeline) {
  PrivatePulse pulse;
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  auto tone = PlayTone(600, 0.5, mix->SinkName(), pulse.Address());
  TempDir dir;
  auto capture = MakeCapture(mix, dir.File("stall.mp3"));
  const auto resumed = SteadyClock::now();
  capture->Resume();
  std::this_thread::sleep_for(1500ms);
  pulse.Pause();  // the server delivers nothing for three seconds
  std::this_thread::sleep_for(3s);
  pulse.Continue();
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  const TCaptureStats stats = capture->Stats();
  EXPECT_TRUE(stats.Finished) << stats.Failure;

  const TPcm pcm = Decode(dir.File("stall.mp3"));
  EXPECT_NEAR(pcm.Seconds(), Seconds(stats.StopSeen - resumed), 0.4);
  EXPECT_GT(LevelBetween(pcm, 0.3, 1.3), kAudible);
  EXPECT_GT(LevelBetween(pcm, pcm.Seconds() - 1.5, pcm.Seconds() - 0.2), kAudible);
}

TEST(AudioCapture, TheServerRestartingKeepsWhatWasRecordedAndTheRecordingGoesOn) {
  PrivatePulse pulse;
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  auto tone = PlayTone(440, 0.5, mix->SinkName(), pulse.Address());
  TempDir dir;
  auto capture = MakeCapture(mix, dir.File("restart.mp3"));
  const auto resumed = SteadyClock::now();
  capture->Resume();
  std::this_thread::sleep_for(2s);
  tone.reset();
  pulse.Stop();  // gone, as after a crash
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(pulse.Start());
  ASSERT_TRUE(WaitUntil([&] { return mix->MixLoaded(); }, 10s));
  ASSERT_TRUE(WaitUntil([&] { return capture->Stats().SourceRestarts > 0; }, 10s));
  tone = PlayTone(880, 0.5, mix->SinkName(), pulse.Address());
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  const TCaptureStats stats = capture->Stats();
  EXPECT_TRUE(stats.Finished) << stats.Failure;
  ExpectExactHeader(dir.File("restart.mp3"));

  const TPcm pcm = Decode(dir.File("restart.mp3"));
  EXPECT_NEAR(pcm.Seconds(), Seconds(stats.StopSeen - resumed), 0.5);
  EXPECT_NEAR(PitchBetween(pcm, 0.5, 1.8), 440, 10);
  EXPECT_LT(LevelBetween(pcm, 2.3, 3.8), kSilent);
  EXPECT_NEAR(PitchBetween(pcm, pcm.Seconds() - 1.5, pcm.Seconds() - 0.2), 880, 10);
}

TEST(AudioCapture, WithoutADeviceOrASoundServerTheCaptureGivesUpAtOnceAndSaysWhich) {
  PrivatePulse pulse({"--disallow-module-loading"});
  auto mix = PrivateMix(pulse);  // the fallback: "Monitor of Null Output"
  ASSERT_FALSE(mix->MixLoaded());
  // The device list is the private server's, where no name holds "stereo".
  const char* shared = std::getenv("PULSE_SERVER");
  const std::string before = shared ? shared : "";
  ::setenv("PULSE_SERVER", pulse.Address().c_str(), 1);
  struct Restore {
    std::string value;
    ~Restore() {
      if (value.empty()) {
        ::unsetenv("PULSE_SERVER");
      } else {
        ::setenv("PULSE_SERVER", value.c_str(), 1);
      }
    }
  } restore{before};
  TempDir dir;
  auto capture = MakeCapture(mix, dir.File("none.mp3"), false, true);
  capture->Resume();
  // Told at once, without waiting for the stop.
  EXPECT_TRUE(capture->StartedEvent.WaitFor(1500ms));
  EXPECT_TRUE(capture->DoneEvent.WaitFor(1000ms));
  const TCaptureStats stats = capture->Stats();
  EXPECT_EQ(stats.Device, "");
  EXPECT_FALSE(stats.Ran);
  EXPECT_NE(stats.Failure.find("no capture device"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.mp3")));
  EXPECT_EQ(capture->Outcome().Failure, "no device to record from");
  EXPECT_EQ(capture->Outcome().Fault, TCaptureFault::NoDevice);
  EXPECT_FALSE(capture->Outcome().Ran);

  // A mix whose server cannot be reached: the source cannot connect.
  TStereoMix::TOptions options;
  options.Server = "unix:" + dir.File("no-server");
  options.PointPlaybackHere = false;
  auto away = std::make_shared<TStereoMix>(options);
  EXPECT_FALSE(away->Start());
  auto unheard = MakeCapture(away, dir.File("unheard.mp3"));
  unheard->Resume();
  EXPECT_TRUE(unheard->StartedEvent.WaitFor(1500ms));
  EXPECT_TRUE(unheard->DoneEvent.WaitFor(1000ms));
  EXPECT_EQ(unheard->Outcome().Fault, TCaptureFault::NoSoundServer);
  EXPECT_EQ(unheard->Outcome().Failure.rfind("no sound server", 0), 0u) << unheard->Outcome().Failure;
}

TEST(AudioCapture, AMissingOrUnwritableFolderIsToldAtOnceAndTheSpeakersAreNeverMuted) {
  PrivatePulse pulse;
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  auto capture = MakeCapture(mix, "/nonexistent-wavecrate-folder/show.mp3", true);
  const auto resumed = SteadyClock::now();
  capture->Resume();
  // Told at once (not at the stop), and the speakers were never muted.
  ASSERT_TRUE(capture->StartedEvent.WaitFor(1s));
  EXPECT_TRUE(capture->DoneEvent.WaitFor(1s));
  EXPECT_LT(Seconds(SteadyClock::now() - resumed), 1.0);
  const TCaptureStats stats = capture->Stats();
  EXPECT_FALSE(stats.Ran);
  EXPECT_FALSE(stats.Muted);
  EXPECT_EQ(capture->Outcome().Fault, TCaptureFault::FolderMissing);
  EXPECT_EQ(capture->Outcome().Failure, "the folder /nonexistent-wavecrate-folder does not exist");
  EXPECT_FALSE(capture->Outcome().Finished);
  EXPECT_EQ(mix->MuteDepth(), 0);
  EXPECT_FALSE(mix->LoopbackState()->Muted);

  // A folder that cannot be written to (read-only for everyone, root
  // included, as a read-only mount).
  TempDir dir;
  const std::string locked = dir.File("locked");
  std::filesystem::create_directories(locked);
  std::filesystem::permissions(locked,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const bool root = ::geteuid() == 0;
  if (root &&
      std::system(("mount -t tmpfs -o ro,size=64k tmpfs " + ShellQuote(locked) + " 2>/dev/null").c_str()) !=
          0)
    GTEST_SKIP() << "mounting a read-only tmpfs was refused";
  auto refused = MakeCapture(mix, locked + "/show.mp3", true);
  refused->Resume();
  EXPECT_TRUE(refused->StartedEvent.WaitFor(1s));
  EXPECT_TRUE(refused->DoneEvent.WaitFor(1s));
  if (root) std::system(("umount " + ShellQuote(locked)).c_str());
  EXPECT_EQ(refused->Outcome().Fault, TCaptureFault::FolderNotWritable);
  EXPECT_EQ(refused->Outcome().Failure, "the folder " + locked + " cannot be written to");
  EXPECT_EQ(mix->MuteDepth(), 0);
}

TEST(AudioCapture, AStopRaisedBeforeTheStartStillRunsTheGraphAndFinishesTheFile) {
  TempDir dir;
  auto capture = MakeCapture(TestMix(), dir.File("short.mp3"));
  capture->StopRequested = true;
  const auto resumed = SteadyClock::now();
  capture->Resume();
  ASSERT_TRUE(capture->DoneEvent.WaitFor(5s));
  EXPECT_LT(Seconds(SteadyClock::now() - resumed), 2.0);
  EXPECT_TRUE(capture->Stats().Ran);
  EXPECT_TRUE(capture->Stats().Finished);
  ExpectExactHeader(dir.File("short.mp3"));
}

TEST(AudioCapture, ExitStopsEveryRunningCaptureAndWaitsForTheirFiles) {
  TempDir dir;
  TCaptureFactory factory = MakeAudioCaptureFactory(TestMix());
  auto a = factory();
  auto b = factory();
  auto never = factory();  // made but never resumed: nothing to wait for
  a->OutputFileName = dir.File("a.mp3");
  b->OutputFileName = dir.File("b.mp3");
  auto tone = PlayTone(300);
  a->Resume();
  b->Resume();
  std::this_thread::sleep_for(1500ms);
  const auto start = SteadyClock::now();
  EXPECT_TRUE(StopAllCapturesAndWait(5s));
  EXPECT_LT(Seconds(SteadyClock::now() - start), 5.0);
  EXPECT_TRUE(a->DoneEvent.IsSet());
  EXPECT_TRUE(b->DoneEvent.IsSet());
  EXPECT_TRUE(never->StopRequested.load());
  for (const char* name : {"a.mp3", "b.mp3"}) {
    ExpectExactHeader(dir.File(name));
    EXPECT_GT(Rms(Decode(dir.File(name)).Channel(0)), kAudible) << name;
  }
}

}  // namespace
}  // namespace wavecrate::test

namespace wavecrate::test {
namespace {

// The typical level (RMS of channel 0) over 100 ms windows, the same way.
double TypicalLevelBetween(const TPcm& pcm, double from, double to) {
  std::vector<double> levels;
  for (double t = from; t + 0.1 <= to; t += 0.1) levels.push_back(LevelBetween(pcm, t, t + 0.1));
  if (levels.empty()) return 0;
  std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
  return levels[levels.size() / 2];
}

constexpr double kToneThere = 0.25;   // a 0.5-volume sine comes out near 0.5
constexpr double kToneAbsent = 0.01;  // -34 dB under it: another slot's sound

std::shared_ptr<TAudioCaptureThread> SlotCapture(std::shared_ptr<TStereoMix> mix, const std::string& path,
                                                 int slot, bool isMute = false) {
  auto capture = MakeCapture(std::move(mix), path, isMute);
  capture->Slot = slot;
  return capture;
}

TEST(AudioCapture, OverlappingSlotsAreRecordedApartAndASlotFollowsItsSoundToTheSharedMix) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  const std::string sink1 = mix->SlotSink(1);
  const std::string sink2 = mix->SlotSink(2);
  ASSERT_EQ(sink1, mix->SlotSinkName(1));
  ASSERT_EQ(sink2, mix->SlotSinkName(2));
  auto tone1 = PlayTone(500, 0.5, sink1, server);
  auto tone2 = PlayTone(1300, 0.5, sink2, server);
  auto banner = PlayTone(2100, 0.5, mix->SinkName(), server);  // the shared mix
  TempDir dir;
  auto one = SlotCapture(mix, dir.File("one.mp3"), 1);
  auto two = SlotCapture(mix, dir.File("two.mp3"), 2);
  const auto resumed = SteadyClock::now();
  one->Resume();
  two->Resume();
  std::this_thread::sleep_for(3s);
  // Slot 2's link moves to its page browser, whose sound reaches only the
  // shared mix: the recording goes with it.
  tone2.reset();
  mix->SetSlotUsesSharedMix(2, true);
  const double switchedAt = Seconds(SteadyClock::now() - resumed);
  std::this_thread::sleep_for(3500ms);
  ASSERT_TRUE(StopAndWait(*one, 10s));
  ASSERT_TRUE(StopAndWait(*two, 10s));
  EXPECT_EQ(one->Stats().Device, MonitorSourceName(sink1));
  EXPECT_EQ(two->Stats().Device, MonitorSourceName(sink2));
  EXPECT_EQ(two->Stats().SourceSwitches, 1);

  const TPcm a = Decode(dir.File("one.mp3"));
  const TPcm b = Decode(dir.File("two.mp3"));
  ASSERT_GT(a.Seconds(), 5.0);
  ASSERT_GT(b.Seconds(), 5.0);
  EXPECT_GT(TypicalToneBetween(a, 500, 0.5, a.Seconds() - 0.3), kToneThere);
  EXPECT_LT(ToneBetween(a, 1300, 0.5, a.Seconds() - 0.3), kToneAbsent);
  EXPECT_LT(ToneBetween(a, 2100, 0.5, a.Seconds() - 0.3), kToneAbsent);
  EXPECT_GT(TypicalToneBetween(b, 1300, 0.5, switchedAt - 0.3), kToneThere);
  EXPECT_LT(ToneBetween(b, 500, 0.5, switchedAt - 0.3), kToneAbsent);
  EXPECT_LT(ToneBetween(b, 2100, 0.5, switchedAt - 0.3), kToneAbsent);
  // The new source takes a moment to deliver (longer on a loaded machine);
  // the gap is silence, and short.
  const double shared = OnsetAfter(b, switchedAt + 0.3);
  EXPECT_GT(shared, 0);
  EXPECT_LT(shared - switchedAt, 1.5);
  EXPECT_GT(TypicalToneBetween(b, 2100, switchedAt + 1.5, b.Seconds() - 0.3), kToneThere);
  EXPECT_LT(ToneBetween(b, 1300, switchedAt + 0.2, b.Seconds() - 0.3), kToneAbsent);
  EXPECT_LT(ToneBetween(b, 500, 0.5, b.Seconds() - 0.3), kToneAbsent);
}

// Index of the playback stream named `name` on `server` ("" when none).
std::string SinkInputNamed(const std::string& server, const std::string& name) {
  std::istringstream lines(Pactl("list sink-inputs", server));
  std::string line, index;
  while (std::getline(lines, line)) {
    if (line.rfind("Sink Input #", 0) == 0) index = line.substr(12);
    if (line.find("media.name = \"" + name + "\"") != std::string::npos) return index;
  }
  return "";
}

TEST(AudioCapture, MutingActsOnEachRecordedLoopbackAndFollowsASlotToTheSharedMix) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  const std::string sink1 = mix->SlotSink(1);
  const std::string sink2 = mix->SlotSink(2);
  ASSERT_FALSE(sink2.empty());
  // The user had turned slot 1's sound down to 50 %.
  const std::string input1 = SinkInputNamed(server, LoopbackStreamName(sink1));
  ASSERT_FALSE(input1.empty());
  Pactl("set-sink-input-volume " + input1 + " 32768", server);
  const auto before0 = mix->LoopbackState(0);
  const auto before1 = mix->LoopbackState(1);
  const auto before2 = mix->LoopbackState(2);
  ASSERT_EQ(before1->Channels, (std::vector<std::uint32_t>{32768, 32768}));

  auto tone1 = PlayTone(500, 0.5, sink1, server);
  auto tone2 = PlayTone(900, 0.5, sink2, server);
  TempDir dir;
  auto one = SlotCapture(mix, dir.File("one.mp3"), 1, true);
  auto two = SlotCapture(mix, dir.File("two.mp3"), 2, true);
  one->Resume();
  two->Resume();
  ASSERT_TRUE(WaitUntil([&] { return mix->MuteDepth(1) == 1 && mix->MuteDepth(2) == 1; }, 5s));
  EXPECT_TRUE(mix->LoopbackState(1)->Muted);
  EXPECT_TRUE(mix->LoopbackState(2)->Muted);
  EXPECT_EQ(mix->LoopbackState(0), before0);  // nothing of these recordings plays there
  EXPECT_LT(Rms(Listen("speakers.monitor", 800ms, server).Channel(0)), kSilent);

  // Slot 2's sound moves to the shared mix: its muting goes with it.
  tone2 = PlayTone(900, 0.5, mix->SinkName(), server);
  mix->SetSlotUsesSharedMix(2, true);
  ASSERT_TRUE(WaitUntil([&] { return mix->MuteDepth(0) == 1 && mix->MuteDepth(2) == 0; }, 5s));
  EXPECT_EQ(mix->LoopbackState(2), before2);
  EXPECT_TRUE(mix->LoopbackState(0)->Muted);

  ASSERT_TRUE(StopAndWait(*one, 10s));
  EXPECT_EQ(mix->LoopbackState(1), before1);  // back to the user's 50 %
  EXPECT_TRUE(mix->LoopbackState(0)->Muted);  // slot 2 still records
  ASSERT_TRUE(StopAndWait(*two, 10s));
  EXPECT_EQ(mix->LoopbackState(0), before0);
  EXPECT_GT(Rms(Listen("speakers.monitor", 800ms, server).Channel(0)), kAudible / 2);

  const TPcm a = Decode(dir.File("one.mp3"));
  EXPECT_GT(TypicalToneBetween(a, 500, 0.5, a.Seconds() - 0.3), kToneThere);
  const TPcm b = Decode(dir.File("two.mp3"));
  EXPECT_GT(TypicalToneBetween(b, 900, 0.5, b.Seconds() - 0.3), kToneThere);
}

TEST(AudioCapture, AfterAServerRestartASlotIsHeardAndRecordedAgainAtTheLevelItHad) {
  // What a desktop's server keeps across a restart: streams' and devices'
  // volumes.
  PrivatePulse pulse({"--load=module-device-restore", "--load=module-stream-restore"});
  const std::string server = pulse.Address();
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  const std::string sink = mix->SlotSink(1);
  // The user had turned the slot's sound down to 50 %.
  const std::string input = SinkInputNamed(server, LoopbackStreamName(sink));
  ASSERT_FALSE(input.empty());
  Pactl("set-sink-input-volume " + input + " 32768", server);
  ASSERT_TRUE(WaitUntil([&] { return mix->LoopbackState(1)->Channels[0] == 32768; }, 2s));
  auto tone = PlayTone(440, 0.5, sink, server);
  TempDir dir;
  auto capture = SlotCapture(mix, dir.File("restart.mp3"), 1);
  const auto resumed = SteadyClock::now();
  capture->Resume();
  const double heardBefore = TypicalLevel(Listen("speakers.monitor", 1500ms, server));
  std::this_thread::sleep_for(1s);
  tone.reset();
  pulse.Stop();  // gone, as after a crash
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(pulse.Start());
  const double backAt = Seconds(SteadyClock::now() - resumed);
  ASSERT_TRUE(WaitUntil([&] { return mix->SlotMixLoaded(1); }, 10s));
  // The player comes back through its own error path, into the slot's mix.
  ASSERT_EQ(mix->SlotSink(1), sink);
  EXPECT_TRUE(WaitUntil([&] { return mix->LoopbackState(1)->Channels[0] == 32768; }, 3s));
  tone = PlayTone(440, 0.5, sink, server);
  const double heardAfter = TypicalLevel(Listen("speakers.monitor", 1500ms, server));
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  ExpectExactHeader(dir.File("restart.mp3"));

  const TPcm pcm = Decode(dir.File("restart.mp3"));
  const double before = TypicalLevelBetween(pcm, 0.5, 2.0);
  const double onset = OnsetAfter(pcm, backAt);
  ASSERT_GT(onset, 0);
  EXPECT_LT(onset - backAt, 5.0);
  const double after = TypicalLevelBetween(pcm, onset + 0.5, pcm.Seconds() - 0.3);
  EXPECT_GT(before, kAudible);
  EXPECT_NEAR(Db(after / before), 0, 1.0) << "recorded " << before << " before, " << after << " after";
  EXPECT_NEAR(Db(heardAfter / heardBefore), 0, 1.0)
      << "heard " << heardBefore << " before, " << heardAfter << " after";
}

}  // namespace
}  // namespace wavecrate::test

namespace wavecrate::test {
namespace {

// A small disk of the test's own (tmpfs), unmounted again at the end.
class SmallDisk {
 public:
  SmallDisk(const std::string& path, const std::string& size) : path_(path) {
    std::filesystem::create_directories(path_);
    mounted_ =
        std::system(
            ("mount -t tmpfs -o size=" + size + " tmpfs " + ShellQuote(path_) + " 2>/dev/null").c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) std::system(("umount " + ShellQuote(path_)).c_str());
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(AudioCapture, AFullDiskEndsTheRecordingWithAnExactHeaderAndTheNextOneWorksWhenSpaceIsBack) {
  TempDir dir;
  const std::string disk = dir.File("disk");
  SmallDisk small(disk, "128k");
  if (!small.Mounted()) GTEST_SKIP() << "mounting a tmpfs was refused (the test needs root)";
  // Room for about three seconds of a 128 kbit/s recording.
  WriteFile(disk + "/filler", std::string(80 * 1024, 'x'));
  auto tone = PlayTone(800);
  const std::string full = disk + "/full.mp3";
  auto capture = MakeCapture(TestMix(), full);
  capture->Resume();
  // No stop is asked: the capture ends by itself.
  ASSERT_TRUE(capture->DoneEvent.WaitFor(20s));
  const TCaptureOutcome outcome = capture->Outcome();
  EXPECT_TRUE(outcome.DiskFull);
  EXPECT_EQ(outcome.Fault, TCaptureFault::DiskFull);
  EXPECT_TRUE(outcome.Finished);
  EXPECT_NE(outcome.Failure.find("the disk is full"), std::string::npos) << outcome.Failure;
  ExpectExactHeader(full);
  const TPcm pcm = Decode(full);
  EXPECT_GT(pcm.Seconds(), 1.0);
  EXPECT_NEAR(outcome.Seconds, pcm.Seconds(), 0.5);
  EXPECT_NEAR(PitchBetween(pcm, 0.5, pcm.Seconds() - 0.2), 800, 10);

  // Space is back: the next recording is whole.
  std::filesystem::remove(disk + "/filler");
  auto next = MakeCapture(TestMix(), disk + "/next.mp3");
  next->Resume();
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(StopAndWait(*next, 10s));
  const TCaptureOutcome fine = next->Outcome();
  EXPECT_FALSE(fine.DiskFull);
  EXPECT_TRUE(fine.Finished);
  EXPECT_EQ(fine.Failure, "");
  EXPECT_EQ(fine.Fault, TCaptureFault::None);
  EXPECT_TRUE(next->Stats().Finished);  // by the end of the stream, not by a patch
  ExpectExactHeader(disk + "/next.mp3");

  // A tagged recording on a full disk: its Xing frame is brought to the
  // frames that reached the disk, so readers give the length it has.
  std::filesystem::remove(disk + "/next.mp3");
  std::filesystem::remove(full);
  WriteFile(disk + "/filler", std::string(80 * 1024, 'x'));
  auto tagged = MakeCapture(TestMix(), disk + "/tagged.mp3");
  tagged->FileType = TRecordingFileType::Tagged;
  tagged->Tags = ShowTags();
  tagged->Resume();
  ASSERT_TRUE(tagged->DoneEvent.WaitFor(20s));
  const TCaptureOutcome cut = tagged->Outcome();
  EXPECT_TRUE(cut.DiskFull);
  EXPECT_TRUE(cut.Finished) << cut.Failure;
  const TPcm kept = Decode(disk + "/tagged.mp3");
  EXPECT_GT(kept.Seconds(), 1.0);
  EXPECT_NEAR(cut.Seconds, kept.Seconds(), 0.1);
  EXPECT_NEAR(ProbedSeconds(disk + "/tagged.mp3"), kept.Seconds(), 0.1);
  EXPECT_NEAR(DiscoveredSeconds(disk + "/tagged.mp3"), kept.Seconds(), 0.1);
}

TEST(AudioCapture, TheFileSizeLimitEndsTheRecordingCleanlyAndSaysSo) {
  TempDir dir;
  auto tone = PlayTone(800);
  TCaptureOptions options;
  options.MaxFileBytes = 40000;  // two and a half seconds at 128 kbit/s
  auto capture = std::make_shared<TAudioCaptureThread>(TestMix(), options);
  capture->OutputFileName = dir.File("limit.mp3");
  capture->Resume();
  // No stop is asked: the capture ends by itself.
  ASSERT_TRUE(capture->DoneEvent.WaitFor(15s));
  const TCaptureOutcome outcome = capture->Outcome();
  EXPECT_EQ(outcome.Fault, TCaptureFault::SizeLimit);
  EXPECT_NE(outcome.Failure.find("largest size"), std::string::npos) << outcome.Failure;
  EXPECT_TRUE(outcome.Finished);
  EXPECT_TRUE(capture->Stats().Finished);  // the writer's own exact header
  ExpectExactHeader(dir.File("limit.mp3"));
  EXPECT_LE(ReadFile(dir.File("limit.mp3")).size(), 40000u);
  const TPcm pcm = Decode(dir.File("limit.mp3"));
  EXPECT_GT(pcm.Seconds(), 2.0);
  EXPECT_NEAR(PitchBetween(pcm, 0.5, pcm.Seconds() - 0.2), 800, 10);
}

TEST(AudioCapture, AFailedWriteEndsTheRecordingAtOnceWithTheHeaderPatchedAndTheReasonKept) {
  TempDir dir;
  auto tone = PlayTone(800);
  // Files of this process may not grow past 48 kB for a while: the writer's
  // next write fails (EFBIG), which is no full disk.
  struct FileSizeLimit {
    rlimit before{};
    void (*handler)(int) = SIG_DFL;
    FileSizeLimit() {
      ::getrlimit(RLIMIT_FSIZE, &before);
      handler = std::signal(SIGXFSZ, SIG_IGN);
      rlimit small = before;
      small.rlim_cur = 48 * 1024;
      ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
      ::setrlimit(RLIMIT_FSIZE, &before);
      std::signal(SIGXFSZ, handler);
    }
  };
  const std::string path = dir.File("cut.mp3");
  TCaptureOutcome outcome;
  {
    FileSizeLimit limit;
    auto capture = MakeCapture(TestMix(), path);
    capture->Resume();
    ASSERT_TRUE(capture->StartedEvent.WaitFor(5s));
    // No stop is asked: the capture ends by itself, soon after the limit.
    ASSERT_TRUE(capture->DoneEvent.WaitFor(15s));
    outcome = capture->Outcome();
  }
  EXPECT_EQ(outcome.Fault, TCaptureFault::PipelineFailed);
  EXPECT_EQ(outcome.Failure.rfind("writing the file failed: ", 0), 0u) << outcome.Failure;
  EXPECT_TRUE(outcome.Finished);  // the header tells what is on disk
  ExpectExactHeader(path);
  const TPcm pcm = Decode(path);
  EXPECT_GT(pcm.Seconds(), 2.0);
  EXPECT_NEAR(PitchBetween(pcm, 0.5, pcm.Seconds() - 0.2), 800, 10);
}

TEST(AudioCapture, AHeaderWrittenBeforeSleepIsExactAndTheRecordingGoesOnIntoTheSameFile) {
  PrivatePulse pulse;
  auto mix = PrivateMix(pulse);
  ASSERT_TRUE(mix->MixLoaded());
  auto tone = PlayTone(600, 0.5, mix->SinkName(), pulse.Address());
  TempDir dir;
  const std::string path = dir.File("sleep.mp3");
  auto capture = MakeAudioCaptureFactory(mix)();
  capture->OutputFileName = path;
  const auto resumed = SteadyClock::now();
  capture->Resume();
  std::this_thread::sleep_for(2500ms);
  // Nothing new reaches the file while the server is held, so the file on
  // disk is exactly what the header must describe.
  pulse.Pause();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(WriteAllCaptureHeadersNow(2s));
  ExpectExactHeader(path);
  const std::size_t atSleep = ReadFile(path).size();
  EXPECT_GT(atSleep, 20000u);  // two seconds and more of 128 kbit/s
  pulse.Continue();
  std::this_thread::sleep_for(2500ms);
  EXPECT_GT(ReadFile(path).size(), atSleep + 10000);  // still recording, into the same file
  ASSERT_TRUE(StopAndWait(*capture, 10s));
  const TCaptureStats stats = std::static_pointer_cast<TAudioCaptureThread>(capture)->Stats();
  EXPECT_TRUE(stats.Finished) << stats.Failure;
  ExpectExactHeader(path);
  const TPcm pcm = Decode(path);
  EXPECT_NEAR(pcm.Seconds(), Seconds(stats.StopSeen - resumed), 0.4);
  EXPECT_NEAR(PitchBetween(pcm, 0.5, 2.3), 600, 10);
  EXPECT_NEAR(PitchBetween(pcm, pcm.Seconds() - 1.5, pcm.Seconds() - 0.2), 600, 10);
  // Nothing asked of a capture that has ended.
  EXPECT_TRUE(WriteAllCaptureHeadersNow(100ms));
}

}  // namespace
}  // namespace wavecrate::test

namespace wavecrate::test {
namespace {

TEST(AudioCapture, ARecordingOnTheFallbackMovesToTheProgramsMixOnceItCanBeLoaded) {
  PrivatePulse pulse;
  const std::string server = pulse.Address();
  TStereoMix::TOptions options;
  options.Server = server;
  options.PointPlaybackHere = false;
  options.IdleCheckInterval = 300ms;
  auto mix = std::make_shared<TStereoMix>(options);
  // Another program's sink holds the mix's name (quoted, so it is not taken
  // for a leftover of ours): the mix cannot be loaded for now.
  const std::string blocker =
      Pactl("load-module module-null-sink 'sink_name=\"" + StereoMixSinkName(::getpid()) + "\"'", server);
  ASSERT_FALSE(blocker.empty());
  ASSERT_FALSE(mix->Start());
  ASSERT_EQ(mix->MonitorSource(), "speakers.monitor");
  auto heard = PlayTone(500, 0.5, "speakers", server);
  // An idle null sink takes a while to deliver its first samples; not the
  // capture's business here.
  ASSERT_GT(Rms(Listen("speakers.monitor", 300ms, server).Channel(0)), kAudible);
  TempDir dir;
  auto capture = MakeCapture(mix, dir.File("fallback.mp3"));
  const auto resumed = SteadyClock::now();
  capture->Resume();
  std::this_thread::sleep_for(2s);
  Pactl("unload-module " + blocker.substr(0, blocker.find('\n')), server);
  ASSERT_TRUE(WaitUntil([&] { return mix->MixLoaded(); }, 5s));
  ASSERT_TRUE(WaitUntil([&] { return capture->Stats().SourceSwitches == 1; }, 3s));
  const double movedAt = Seconds(SteadyClock::now() - resumed);
  auto ours = PlayTone(1500, 0.5, mix->SinkName(), server);
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(StopAndWait(*capture, 10s));

  const TPcm pcm = Decode(dir.File("fallback.mp3"));
  EXPECT_GT(TypicalToneBetween(pcm, 500, 0.5, 1.8), kToneThere);
  EXPECT_GT(TypicalToneBetween(pcm, 1500, movedAt + 0.8, pcm.Seconds() - 0.3), kToneThere);
  EXPECT_LT(ToneBetween(pcm, 500, movedAt + 0.8, pcm.Seconds() - 0.3), kToneAbsent);  // the mix only
}

}  // namespace
}  // namespace wavecrate::test
