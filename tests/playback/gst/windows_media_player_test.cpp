// The stream player against real streams: Icecast on loopback fed by ffmpeg,
// playlists, HLS and pages from the tests' own web server, sound checked at
// the monitor of a null sink in the private PulseAudio.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "playback/PlaybackLogic.h"
#include "playback/gst/PlayerTestEnv.h"
#include "playback/gst/WindowsMediaPlayer.h"
#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/playback_http_server.h"
#include "support/playback_icecast.h"
#include "support/playback_process.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::ListenToSink;
using test::RunMainLoopFor;
using test::RunMainLoopUntil;

// Records what the player reports.
struct TPlayerProbe {
  explicit TPlayerProbe(TWindowsMediaPlayer& player) {
    player.MediaError = [this](const TMediaErrorInfo& info) { Errors.push_back(info); };
    player.StatusChange = [this, &player] { States.push_back(player.PlayState()); };
  }
  std::vector<TMediaErrorInfo> Errors;
  std::vector<TPlayState> States;
};

// What the window does with a slot's MediaError, over the real player: wait
// as TMediaRetryBackoff says, then do what DecideMediaError says.
struct TSlotRetrier {
  TSlotRetrier(TWindowsMediaPlayer& player, std::string link) : Player(player), Link(std::move(link)) {
    player.StatusChange = [this] {
      if (Player.PlayState() != TPlayState::Playing) return;
      ++Plays;
      LinkPlayed = true;
      Backoff.NotePlaying(std::chrono::steady_clock::now());
    };
    player.MediaError = [this](const TMediaErrorInfo&) {
      ++Errors;
      const auto delay = Backoff.NextDelay(std::chrono::steady_clock::now(), LinkPlayed);
      if (Pending == 0) Pending = g_timeout_add(static_cast<guint>(delay.count()), &TSlotRetrier::Act, this);
    };
  }
  ~TSlotRetrier() {
    if (Pending != 0) g_source_remove(Pending);
  }
  static gboolean Act(gpointer data) {
    auto* self = static_cast<TSlotRetrier*>(data);
    self->Pending = 0;
    // While the mount is gone it answers 404: judged Unknown. A link that
    // played is not judged at all.
    TLinkKind judged = TLinkKind::Media;
    if (!self->LinkPlayed) {
      ++self->ContentTests;
      judged = TLinkKind::Unknown;
    }
    const auto action = DecideMediaError(true, self->Player.URL(), judged);
    if (action == TMediaErrorAction::Retry) {
      self->Player.SetURL(self->Link);
      self->Player.controls.play();
    } else if (action == TMediaErrorAction::OpenPage) {
      ++self->Pages;
    }
    return G_SOURCE_REMOVE;
  }

  TWindowsMediaPlayer& Player;
  std::string Link;
  TMediaRetryBackoff Backoff;
  bool LinkPlayed = false;
  int Plays = 0, Errors = 0, ContentTests = 0, Pages = 0;
  guint Pending = 0;
};

class PlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_FALSE(test::PlayerTestSink().empty()) << "no sound server";
    icecast_ = new test::TPlaybackIcecast(440);
    files_ = new test::TempDir();
    // 40 s of a 660 Hz tone as a file, and the same cut into HLS segments.
    const std::string tone = files_->File("tone.mp3");
    ASSERT_EQ(0, std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=660:duration=40 "
                              "-ac 2 -c:a libmp3lame -b:a 96k -y " +
                              tone)
                                 .c_str()));
    std::filesystem::create_directory(files_->File("hls"));
    ASSERT_EQ(0, std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=880:duration=30 "
                              "-ac 2 -c:a aac -b:a 96k -f hls -hls_time 2 -hls_list_size 0 "
                              "-hls_playlist_type vod -y " +
                              files_->File("hls/index.m3u8"))
                                 .c_str()));
    // 20 s of a 770 Hz tone as Ogg Opus, 48 kHz stereo, for a live stream
    // that the server sends in real time.
    ASSERT_EQ(0, std::system(("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=770:duration=20 "
                              "-ac 2 -ar 48000 -c:a libopus -b:a 64k -f ogg -y " +
                              files_->File("live.opus"))
                                 .c_str()));
    server_ = new test::TPlaybackHttpServer(files_->Path().string());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete files_;
    delete icecast_;
    server_ = nullptr;
    files_ = nullptr;
    icecast_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr) FAIL() << "the suite's set-up failed (see above)";
    server_->SetRoutes("[]");
    server_->ClearRequests();
  }

  static bool WaitForState(TWindowsMediaPlayer& player, TPlayState state, std::chrono::milliseconds timeout) {
    return RunMainLoopUntil([&] { return player.PlayState() == state; }, timeout);
  }

  // Plays the link and checks that the given tone reaches the sink.
  static void ExpectToneFrom(const std::string& link, double hz, const std::string& mediaUrl) {
    TWindowsMediaPlayer player;
    TPlayerProbe probe(player);
    player.SetURL(link);
    ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s)) << link;
    EXPECT_EQ(player.CurrentMediaURL(), mediaUrl);
    // The monitor of a null sink is not a faithful clock: sound may show
    // there a moment after the player reports playing, and a stream's first
    // second may show a gap; what counts is the sound after that.
    ASSERT_TRUE(test::WaitForSound(5s)) << link;
    RunMainLoopFor(1500ms);
    const auto heard = ListenToSink(3000ms);
    // The monitor delivers somewhat fewer samples than the time that passed,
    // and on this shared machine a stream's start-up may drop out for a few
    // tenths of a second; a player that is not playing this tone fails.
    EXPECT_GT(heard.SecondsHeard, 2.0) << link;
    EXPECT_GT(heard.SoundSeconds, 0.5 * heard.SecondsHeard) << link;
    EXPECT_NEAR(heard.FrequencyHz, hz, hz * 0.05) << link;
    EXPECT_TRUE(probe.Errors.empty()) << probe.Errors.front().Message;
  }

  static test::TPlaybackIcecast* icecast_;
  static test::TempDir* files_;
  static test::TPlaybackHttpServer* server_;
};

test::TPlaybackIcecast* PlayerTest::icecast_ = nullptr;
test::TempDir* PlayerTest::files_ = nullptr;
test::TPlaybackHttpServer* PlayerTest::server_ = nullptr;

TEST_F(PlayerTest, IcecastStreamPlaysAtHalfVolumeIntoTheChosenSinkAndStops) {
  TWindowsMediaPlayer player;
  TPlayerProbe probe(player);
  EXPECT_EQ(player.Volume(), 50);
  EXPECT_EQ(player.PlayState(), TPlayState::Closed);
  player.SetURL(icecast_->StreamUrl());
  EXPECT_EQ(player.URL(), icecast_->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  // The control's own play call right after the URL write changes nothing.
  player.controls.play();
  EXPECT_EQ(player.PlayState(), TPlayState::Playing);
  ASSERT_TRUE(test::WaitForSound(5s));
  RunMainLoopFor(1500ms);
  // A stream's start may still drop out for a few tenths of a second on a
  // busy machine; listen long enough that the tone dominates regardless.
  const auto heard = ListenToSink(3000ms);
  EXPECT_NEAR(heard.FrequencyHz, 440, 20);
  EXPECT_GT(heard.SecondsHeard, 2.0);
  EXPECT_GT(heard.SoundSeconds, 0.5 * heard.SecondsHeard);
  // Made at half volume: full volume doubles the level.
  player.SetVolume(100);
  RunMainLoopFor(300ms);
  const double ratio = heard.Rms / ListenToSink(1500ms).Rms;
  EXPECT_NEAR(ratio, 0.5, 0.1);

  player.controls.stop();
  EXPECT_EQ(player.PlayState(), TPlayState::Stopped);
  EXPECT_EQ(player.URL(), icecast_->StreamUrl());
  RunMainLoopFor(300ms);
  EXPECT_EQ(ListenToSink(800ms).SoundSeconds, 0);

  player.controls.play();
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  player.SetURL("");
  EXPECT_EQ(player.PlayState(), TPlayState::Closed);
  EXPECT_EQ(player.URL(), "");
  RunMainLoopFor(300ms);
  EXPECT_EQ(ListenToSink(800ms).SoundSeconds, 0);
  EXPECT_TRUE(probe.Errors.empty());
}

TEST_F(PlayerTest, PlaylistLinksResolveToTheirStream) {
  const std::string stream = icecast_->StreamUrl();
  test::WriteFile(files_->File("radio.pls"), "[playlist]\nNumberOfEntries=1\nFile1=" + stream +
                                                 "\nTitle1=Radio\nLength1=-1\nVersion=2\n");
  test::WriteFile(files_->File("radio.m3u"), "#EXTM3U\n#EXTINF:-1,Radio\n" + stream + "\n");
  test::WriteFile(files_->File("radio.xspf"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist version=\"1\" "
                  "xmlns=\"http://xspf.org/ns/0/\"><trackList><track><location>" +
                      stream + "</location></track></trackList></playlist>\n");
  test::WriteFile(files_->File("radio.asx"),
                  "<asx version=\"3.0\"><entry><ref href=\"" + stream + "\"/></entry></asx>\n");
  // One is listened to; the others must resolve to the same stream and play.
  ExpectToneFrom(server_->Base() + "/radio.pls", 440, stream);
  for (const char* name : {"radio.m3u", "radio.xspf", "radio.asx"}) {
    SCOPED_TRACE(name);
    TWindowsMediaPlayer player;
    TPlayerProbe probe(player);
    player.SetURL(server_->Base() + "/" + name);
    ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
    EXPECT_EQ(player.CurrentMediaURL(), stream);
    EXPECT_TRUE(probe.Errors.empty());
  }
}

TEST_F(PlayerTest, PlaylistWithoutExtensionRelativeEntryAndDeadFirstEntry) {
  // Named only by its Content-Type; its first entry is dead, its second a
  // file beside the playlist, given relative to it.
  server_->SetRoutes(R"([{"path": "/tunein", "content_type": "audio/x-scpls",
    "body": "[playlist]\nNumberOfEntries=2\nFile1=http://127.0.0.1:)" +
                     std::to_string(test::PlaybackFreePort()) + R"(/gone\nFile2=tone.mp3\nVersion=2\n"}])");
  ExpectToneFrom(server_->Base() + "/tunein?id=7", 660, server_->Base() + "/tone.mp3");
}

TEST_F(PlayerTest, LiveOggOpusStreamIsHeardAfterAnEarlyConnectionDirectThroughRedirectsAndWhenSlow) {
  // As a radio server sends it: HTTP/1.0, audio/ogg, no length, in real time;
  // and once a tenth slower than that, as a stream that keeps falling behind
  // its own clock. Its sound comes a page at a time, a second of it each.
  const auto perSecond = std::filesystem::file_size(files_->File("live.opus")) / 20;
  server_->SetRoutes(R"([
    {"path": "/live", "content_type": "audio/ogg", "file": "live.opus", "rate": )" +
                     std::to_string(perSecond) + R"(},
    {"path": "/slow", "content_type": "audio/ogg", "file": "live.opus", "rate": )" +
                     std::to_string(perSecond * 9 / 10) + R"(},
    {"path": "/moved", "status": 302, "location": "{base}/moved-again"},
    {"path": "/moved-again", "status": 307, "location": "{base}/live"}
  ])");
  for (const char* path : {"/live", "/moved", "/slow"}) {
    SCOPED_TRACE(path);
    const std::string link = server_->Base() + path;
    TWindowsMediaPlayer player;
    TPlayerProbe probe(player);
    // Connected early and held back, as before a show's start minute: the
    // sound must still be there when it is let through.
    player.SetVolume(0);
    player.SetURL(link);
    ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
    EXPECT_EQ(player.CurrentMediaURL(), link);
    RunMainLoopFor(6s);
    player.SetVolume(50);
    RunMainLoopFor(500ms);
    const auto heard = ListenToSink(3000ms);
    EXPECT_GT(heard.SecondsHeard, 2.0);
    // The slow sender leaves a tenth of its time without sound.
    EXPECT_GT(heard.SoundSeconds, 0.7 * heard.SecondsHeard);
    EXPECT_NEAR(heard.FrequencyHz, 770, 40);
    EXPECT_TRUE(probe.Errors.empty()) << probe.Errors.front().Message;
  }
}

TEST_F(PlayerTest, HlsLinkPlays) {
  const std::string link = server_->Base() + "/hls/index.m3u8";
  ExpectToneFrom(link, 880, link);
}

TEST_F(PlayerTest, WhatCannotPlayEndsInMediaErrorWithinSeconds) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(test::PlaybackFreePort()) + "/stream";
  test::WriteFile(files_->File("empty.pls"), "[playlist]\nNumberOfEntries=0\nVersion=2\n");
  server_->SetRoutes(R"([
    {"path": "/page.html", "content_type": "text/html",
     "body": "<html><head><title>Listen live</title></head><body><a href=\"/radio.pls\">x</a></body></html>"},
    {"path": "/self.pls", "content_type": "audio/x-scpls",
     "body": "[playlist]\nNumberOfEntries=1\nFile1={base}/self.pls\nVersion=2\n"},
    {"path": "/a.m3u", "content_type": "audio/x-mpegurl", "body": "{base}/b.m3u\n"},
    {"path": "/b.m3u", "content_type": "audio/x-mpegurl", "body": "{base}/a.m3u\n"},
    {"path": "/local.m3u", "content_type": "audio/x-mpegurl", "body": "file:///dev/urandom\n"},
    {"path": "/missing.pls", "status": 404, "content_type": "text/html", "body": "<html>gone</html>"}
  ])");
  const std::vector<std::string> links = {
      dead,
      server_->Base() + "/page.html",
      server_->Base() + "/self.pls",
      server_->Base() + "/empty.pls",
      server_->Base() + "/a.m3u",
      server_->Base() + "/local.m3u",
      server_->Base() + "/missing.pls",
  };
  for (const auto& link : links) {
    SCOPED_TRACE(link);
    TWindowsMediaPlayer player;
    TPlayerProbe probe(player);
    const auto start = std::chrono::steady_clock::now();
    player.SetURL(link);
    // Never raised from inside the URL write itself.
    EXPECT_TRUE(probe.Errors.empty());
    ASSERT_TRUE(RunMainLoopUntil([&] { return !probe.Errors.empty(); }, 15s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    RunMainLoopFor(200ms);
    ASSERT_EQ(probe.Errors.size(), 1u);
    EXPECT_EQ(probe.Errors[0].URL, link);
    EXPECT_EQ(player.PlayState(), TPlayState::Failed);
    // The URL stays, as the error handling expects.
    EXPECT_EQ(player.URL(), link);
  }
  // Each playlist of the loop was fetched a bounded number of times.
  int selfRequests = 0;
  for (const auto& r : server_->Requests()) selfRequests += r.Path == "/self.pls" ? 1 : 0;
  EXPECT_LE(selfRequests, 2);
}

TEST_F(PlayerTest, HandlerMayWriteTheUrlAgainFromInsideMediaError) {
  const std::string dead = "http://127.0.0.1:" + std::to_string(test::PlaybackFreePort()) + "/stream";
  TWindowsMediaPlayer player;
  int errors = 0;
  player.MediaError = [&](const TMediaErrorInfo& info) {
    ++errors;
    if (errors < 3) {
      player.SetURL(info.URL);
      player.controls.play();
    } else {
      // The last retry goes to a working stream.
      player.SetURL(icecast_->StreamUrl());
    }
  };
  player.SetURL(dead);
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  EXPECT_EQ(errors, 3);
  EXPECT_EQ(player.CurrentMediaURL(), icecast_->StreamUrl());
}

TEST_F(PlayerTest, LiveStreamThatBreaksOffRaisesMediaError) {
  auto own = std::make_unique<test::TPlaybackIcecast>(550, "/short.mp3");
  TWindowsMediaPlayer player;
  TPlayerProbe probe(player);
  player.SetURL(own->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  own.reset();  // the server goes away mid-stream
  ASSERT_TRUE(RunMainLoopUntil([&] { return !probe.Errors.empty(); }, 30s));
  EXPECT_EQ(player.PlayState(), TPlayState::Failed);
}

// A short outage: the retry delays themselves are the backoff's (see
// playback_logic_test.cpp); here the real player must fail again on each
// retry while the mount is gone and play as soon as it is back. (The
// stream-drop system test takes a longer outage in a whole recording.)
TEST_F(PlayerTest, StreamThatDropsForSecondsIsRetriedAsMediaAndHeardSoonAfterItsReturn) {
  auto own = std::make_unique<test::TPlaybackIcecast>(550, "/outage.mp3");
  TWindowsMediaPlayer player;
  TSlotRetrier slot(player, own->StreamUrl());
  player.SetURL(own->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  ASSERT_TRUE(test::WaitForSound(5s));

  const auto gone = std::chrono::steady_clock::now();
  own->StopSource();  // the mount answers 404 from now on
  ASSERT_TRUE(RunMainLoopUntil([&] { return slot.Errors > 0; }, 30s)) << "the break went unnoticed";
  // Tried again, and failed again, while the mount is gone.
  ASSERT_TRUE(RunMainLoopUntil([&] { return slot.Errors >= 3; }, 15s)) << "errors: " << slot.Errors;
  const auto outage = 6s - (std::chrono::steady_clock::now() - gone);
  if (outage > 0s) RunMainLoopFor(std::chrono::duration_cast<std::chrono::milliseconds>(outage));
  EXPECT_NE(player.PlayState(), TPlayState::Playing);

  own->StartSource();
  const auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 15s));
  EXPECT_LT(std::chrono::steady_clock::now() - back, 5s);
  ASSERT_TRUE(test::WaitForSound(3s));
  // A source that has only just come back has little to send ahead: the
  // player may play that, run dry and pause once to fill its queue (about
  // two seconds) before it plays steadily.
  const auto heard = ListenToSink(5000ms);
  EXPECT_NEAR(heard.FrequencyHz, 550, 30);
  EXPECT_GT(heard.SoundSeconds, 2.0);
  // A link that played stays with the player: no content test, no page.
  EXPECT_EQ(slot.ContentTests, 0);
  EXPECT_EQ(slot.Pages, 0);
}

TEST_F(PlayerTest, EarlyConnectionAtVolumeZeroIsSilentUntilMadeAudible) {
  TWindowsMediaPlayer player;
  TPlayerProbe probe(player);
  player.SetVolume(0);
  player.SetURL(icecast_->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  RunMainLoopFor(1500ms);  // well past the monitor's own start-up delay
  const auto held = ListenToSink(2000ms);
  EXPECT_GT(held.SecondsHeard, 1.5);
  EXPECT_EQ(held.SoundSeconds, 0);

  player.SetVolume(50);
  const auto raised = std::chrono::steady_clock::now();
  ASSERT_TRUE(test::WaitForSound(2s));
  EXPECT_LT(std::chrono::steady_clock::now() - raised, 1500ms);
  const auto heard = ListenToSink(2000ms);
  EXPECT_NEAR(heard.FrequencyHz, 440, 20);
  EXPECT_GT(heard.SoundSeconds, 0.5 * heard.SecondsHeard);
  EXPECT_TRUE(probe.Errors.empty());
}

TEST_F(PlayerTest, PlaysIntoTheSinkItIsGivenAtEachConnection) {
  const std::string other = "wavecrate_player_test_other_" + std::to_string(getpid());
  const std::string module =
      test::Shell("pactl load-module module-null-sink sink_name=" + other + " 2>/dev/null");
  ASSERT_FALSE(module.empty());
  // How many streams play into the named sink (pactl's short lists: a
  // sink's index and name; a sink input's index and its sink's index).
  const auto inputsOn = [](const std::string& sink) {
    std::istringstream sinks(test::Shell("pactl list short sinks"));
    std::string index, name, rest;
    while (sinks >> index >> name && name != sink) std::getline(sinks, rest);
    if (name != sink) return -1;
    std::istringstream inputs(test::Shell("pactl list short sink-inputs"));
    std::string input, onSink;
    int count = 0;
    while (inputs >> input >> onSink) {
      count += onSink == index ? 1 : 0;
      std::getline(inputs, rest);
    }
    return count;
  };

  std::string device = other;
  TWindowsMediaPlayer player;
  player.AudioDevice = [&] { return device; };
  player.SetURL(icecast_->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  EXPECT_EQ(player.CurrentAudioDevice(), other);
  EXPECT_EQ(inputsOn(other), 1);
  RunMainLoopFor(1000ms);
  EXPECT_EQ(ListenToSink(2000ms).SoundSeconds, 0) << "heard in the default sink";

  // Asked afresh at the next connection.
  device = test::PlayerTestSink();
  player.SetURL(icecast_->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  EXPECT_TRUE(test::WaitForSound(5s));
  EXPECT_EQ(inputsOn(other), 0);
  player.SetURL("");
  test::Shell("pactl unload-module " + module);
}

TEST_F(PlayerTest, ComesBackAtItsVolumeAfterTheSoundServerRestarts) {
  // A sound server of this test's own, killed and started again on the same
  // address; the player reaches it through PULSE_SERVER, as the program
  // reaches the user's.
  test::TempDir dir;
  const std::string address = "unix:" + dir.File("native");
  std::unique_ptr<test::Subprocess> server;
  const auto startServer = [&] {
    server = std::make_unique<test::Subprocess>(
        std::vector<std::string>{
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
            "--log-target=file:" + dir.File("pulse.log"),
            "--load=module-native-protocol-unix socket=" + dir.File("native") + " auth-anonymous=1",
            "--load=module-null-sink sink_name=slot_sink"},
        std::vector<std::string>{"XDG_RUNTIME_DIR=" + dir.Path().string(), "HOME=" + dir.Path().string()});
    return test::WaitUntil([&] { return !test::Shell("pactl -s " + address + " info 2>/dev/null").empty(); },
                           10s);
  };
  // The volume of the one stream on the server, in percent (-1: none). The
  // server's percent is on its cubic scale: the player's 30 of 100 reads 67 %.
  // This server loads no stream-restore module, so a new stream that the
  // player did not give its volume would read 100 %.
  const int expected = static_cast<int>(std::lround(std::cbrt(0.30) * 100));
  const auto streamVolume = [&] {
    const std::string list = test::Shell("pactl -s " + address + " list sink-inputs 2>/dev/null");
    const auto at = list.find("Volume:");
    const auto slash = list.find('/', at);
    return at == std::string::npos || slash == std::string::npos ? -1 : std::atoi(list.c_str() + slash + 1);
  };
  ASSERT_TRUE(startServer()) << test::ReadFile(dir.File("pulse.log"));
  const char* old = std::getenv("PULSE_SERVER");
  const std::string saved = old ? old : "";
  setenv("PULSE_SERVER", address.c_str(), 1);

  TWindowsMediaPlayer player;
  TSlotRetrier slot(player, icecast_->StreamUrl());
  player.AudioDevice = [] { return std::string("slot_sink"); };
  player.SetVolume(30);
  player.SetURL(icecast_->StreamUrl());
  ASSERT_TRUE(WaitForState(player, TPlayState::Playing, 20s));
  EXPECT_TRUE(test::WaitUntil([&] { return streamVolume() == expected; }, 5s)) << streamVolume();

  server->Signal(SIGKILL);
  server->Wait(5s);
  ASSERT_TRUE(RunMainLoopUntil([&] { return slot.Errors > 0; }, 15s)) << "the lost server went unnoticed";
  RunMainLoopFor(2s);
  std::filesystem::remove(dir.File("native"));
  ASSERT_TRUE(startServer());
  const auto back = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitForState(player, TPlayState::Playing, 15s));
  EXPECT_LT(std::chrono::steady_clock::now() - back, 6s);
  EXPECT_TRUE(test::WaitUntil([&] { return streamVolume() == expected; }, 5s)) << streamVolume();
  EXPECT_EQ(player.Volume(), 30);
  EXPECT_EQ(slot.Pages, 0);

  player.SetURL("");
  if (saved.empty()) {
    unsetenv("PULSE_SERVER");
  } else {
    setenv("PULSE_SERVER", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace wavecrate
