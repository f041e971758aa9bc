// The podcast share without a network: which recordings it offers, the feed
// a real feed parser reads, the paths it answers, byte ranges and the body
// of a WAVE recording served as plain MPEG data.
#include "app/PodcastFeed.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "audio/RiffHeader.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const std::string kToken = "0123456789abcdef0123456789abcdef";

// A few MPEG-1 layer III frame headers and filler: the file code looks at
// headers and never decodes.
std::string Frames(std::size_t bytes) {
  std::string data;
  for (std::size_t i = 0; data.size() < bytes; ++i)
    data += i % 97 == 0 ? '\xFF' : static_cast<char>('a' + i % 26);
  data[0] = '\xFF', data[1] = '\xFB', data[2] = '\x90', data[3] = '\x64';
  return data;
}

std::string WaveFile(const std::string& frames) {
  const TBytes format = MakeMpegLayer3FormatBlock(44100, 2, 128000);
  const TBytes head = BuildRiffHeader(format, static_cast<std::uint32_t>(frames.size()));
  return std::string(head.begin(), head.end()) + frames;
}

std::string TaggedFile(const std::string& frames) {
  return std::string("ID3\x04\x00\x00\x00\x00\x00\x02xy", 12) + frames;
}

THistoryRecord Finished(const std::string& file, const std::string& show, std::int64_t start,
                        TRecordingResult result = TRecordingResult::Recorded) {
  THistoryRecord r;
  r.Event = THistoryRecord::TEvent::Finished;
  r.Report.Slot = 1;
  r.Report.ShowName = show;
  r.Report.Station = "KTLK <Talk & \"News\">";
  r.Report.StreamUrl = "http://127.0.0.1/live";
  r.Report.File = file;
  r.Report.ScheduledStart = start;
  r.Report.ActualStart = start + 5;
  r.Report.ActualLength = 3725.4;
  r.Report.Result = result;
  r.Id = RecordingId(r.Report);
  return r;
}

std::string Body(const TPodcastEpisode& e) {
  TEpisodeReader reader(e);
  const std::vector<std::uint8_t> b = reader.Read(0, static_cast<std::size_t>(e.Size()) + 100);
  return std::string(b.begin(), b.end());
}

TEST(PodcastFeedTest, OnlyFinishedRecordingsInPlaceAreServedTheWaveOnesBehindAMadeTag) {
  TempDir dir;
  const std::string frames = Frames(5000);
  WriteFile(dir.File("wave.mp3"), WaveFile(frames));
  WriteFile(dir.File("tagged.mp3"), TaggedFile(frames));
  WriteFile(dir.File("pcm.mp3"), "RIFF....WAVEfmt nothing of ours");
  WriteFile(dir.File("elsewhere.mp3"), TaggedFile(frames));
  std::filesystem::create_symlink(dir.File("elsewhere.mp3"), dir.File("link.mp3"));
  std::vector<THistoryRecord> history = {
      Finished(dir.File("wave.mp3"), "Morning Talk", 2000000000),
      Finished(dir.File("tagged.mp3"), "Evening Call-in", 1999990000, TRecordingResult::Incomplete),
      Finished(dir.File("failed.mp3"), "Failed", 1999980000, TRecordingResult::Failed),
      Finished(dir.File("missing.mp3"), "Missing", 1999970000),
      Finished(dir.File("pcm.mp3"), "Samples", 1999960000),
      Finished(dir.File("link.mp3"), "Linked", 1999950000),
      Finished(dir.File("tagged.mp3"), "Trashed", 1999940000),
  };
  history.back().TrashedAt = 1999999999;
  history[0].FileSize = static_cast<std::int64_t>(std::filesystem::file_size(dir.File("wave.mp3")));
  // Written over by a later recording of the same name.
  history.push_back(Finished(dir.File("tagged.mp3"), "Overwritten", 1999935000));
  history.back().FileSize = 100;
  THistoryRecord running = Finished(dir.File("wave.mp3"), "Running", 1999930000);
  running.Event = THistoryRecord::TEvent::Started;
  running.Report.Result = TRecordingResult::InProgress;
  history.push_back(running);

  const std::vector<TPodcastEpisode> episodes = PodcastEpisodes(history);
  ASSERT_EQ(episodes.size(), 2u);
  EXPECT_EQ(episodes[0].Record.Report.ShowName, "Morning Talk");
  EXPECT_EQ(episodes[1].Record.Report.ShowName, "Evening Call-in");

  // The WAVE recording: a made tag, then exactly the frames of its data chunk.
  const TPodcastEpisode& wave = episodes[0];
  const std::string tag(wave.Tag.begin(), wave.Tag.end());
  ASSERT_GT(tag.size(), 10u);
  EXPECT_EQ(tag.substr(0, 5), std::string("ID3\x04\x00", 5));
  const std::uint32_t declared = (std::uint32_t(wave.Tag[6]) << 21) | (std::uint32_t(wave.Tag[7]) << 14) |
                                 (std::uint32_t(wave.Tag[8]) << 7) | wave.Tag[9];
  EXPECT_EQ(declared + 10, tag.size());
  const std::string titleFrame = std::string("TIT2\x00\x00\x00\x18\x00\x00\x03", 11) + "Morning Talk " + [] {
    char d[16];
    const TLocalTime t = LocalTimeOf(2000000000);
    std::snprintf(d, sizeof d, "%02d-%02d-%04d", t.Month, t.Day, t.Year);
    return std::string(d);
  }();
  EXPECT_NE(tag.find(titleFrame), std::string::npos);
  EXPECT_NE(tag.find("TPE1"), std::string::npos);
  EXPECT_NE(tag.find(std::string("COMM\x00\x00\x00\x1A\x00\x00\x03"
                                 "eng\x00http://127.0.0.1/live",
                                 36)),
            std::string::npos);
  EXPECT_EQ(Body(wave), tag + frames);
  EXPECT_EQ(wave.Size(), tag.size() + frames.size());

  // The tagged one is served as it is.
  EXPECT_TRUE(episodes[1].Tag.empty());
  EXPECT_EQ(Body(episodes[1]), ReadFile(dir.File("tagged.mp3")));

  // Reads across the tag's end, and a file cut short since the history was
  // read gives fewer bytes instead of anything past its end.
  TEpisodeReader reader(wave);
  const std::vector<std::uint8_t> across = reader.Read(tag.size() - 3, 10);
  EXPECT_EQ(std::string(across.begin(), across.end()), (tag + frames).substr(tag.size() - 3, 10));
  ASSERT_EQ(truncate(dir.File("wave.mp3").c_str(), 1000), 0);
  EXPECT_LT(reader.Read(0, static_cast<std::size_t>(wave.Size())).size(), wave.Size());
}

TEST(PodcastFeedTest, FeedIsValidRssNewestFirstAndEscaped) {
  TempDir dir;
  const std::string frames = Frames(3000);
  WriteFile(dir.File("a.mp3"), WaveFile(frames));
  WriteFile(dir.File("b.mp3"), TaggedFile(frames));
  WriteFile(dir.File("c.mp3"), TaggedFile(frames));
  const std::vector<TPodcastEpisode> episodes = PodcastEpisodes({
      Finished(dir.File("a.mp3"), "Q&A <Live>", 2000100000),
      Finished(dir.File("b.mp3"), "Other", 2000000000),
      Finished(dir.File("c.mp3"), "Q&A <Live>", 1999900000),
  });
  ASSERT_EQ(episodes.size(), 3u);
  const std::string base = "http://127.0.0.1:8808/" + kToken;
  const std::string all = PodcastFeedXml(base, episodes);
  const std::string show = PodcastFeedXml(base, episodes, PodcastKey("Q&A <Live>"));
  EXPECT_EQ(Rfc822Date(2000000005), "Wed, 18 May 2033 03:33:25 +0000");

  // A real feed parser reads both, without complaint.
  WriteFile(dir.File("all.rss"), all);
  WriteFile(dir.File("show.rss"), show);
  const std::string script =
      "import feedparser,sys\n"
      "for f in sys.argv[1:]:\n"
      "  d=feedparser.parse(f)\n"
      "  print('bozo',int(d.bozo),d.feed.title)\n"
      "  for e in d.entries:\n"
      "    x=e.enclosures[0]\n"
      "    print(e.title,'|',e.id,'|',e.published,'|',e.itunes_duration,'|',x.type,x.length,x.href)\n";
  WriteFile(dir.File("read.py"), script);
  const std::string command = "/usr/bin/python3 " + dir.File("read.py") + " " + dir.File("all.rss") + " " +
                              dir.File("show.rss") + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << out;

  auto date = [](std::int64_t s) {
    char d[16];
    const TLocalTime t = LocalTimeOf(s);
    std::snprintf(d, sizeof d, "%02d-%02d-%04d", t.Month, t.Day, t.Year);
    return std::string(d);
  };
  auto line = [&](const TPodcastEpisode& e) {
    const TRecordingReport& r = e.Record.Report;
    return r.ShowName + " " + date(r.ScheduledStart) + " | wavecrate-" + RecordingId(r) + " | " +
           Rfc822Date(r.ActualStart) + " | 1:02:05 | audio/mpeg " + std::to_string(e.Size()) + " " + base +
           "/episodes/" + e.Key + ".mp3\n";
  };
  const std::string expected = "bozo 0 Wavecrate recordings\n" + line(episodes[0]) + line(episodes[1]) +
                               line(episodes[2]) + "bozo 0 Q&A <Live>\n" + line(episodes[0]) +
                               line(episodes[2]);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(episodes[0].Size(), episodes[0].Tag.size() + frames.size());
  EXPECT_EQ(episodes[1].Size(), frames.size() + 12);
}

TEST(PodcastFeedTest, RoutesOnlyExactShapesBehindTheRightToken) {
  const std::string key = "00ff00ff00ff00ff";
  using K = TPodcastRoute::TKind;
  struct TCase {
    std::string Path;
    K Kind;
  };
  const std::string t = "/" + kToken;
  const TCase cases[] = {
      {t + "/feed.rss", K::AllFeed},
      {t + "/shows/" + key + ".rss", K::ShowFeed},
      {t + "/episodes/" + key + ".mp3", K::Episode},
      {"/0123456789abcdef0123456789abcdee/feed.rss", K::NotFound},
      {"/0123456789ABCDEF0123456789ABCDEF/feed.rss", K::NotFound},
      {t, K::NotFound},
      {t + "/", K::NotFound},
      {"/", K::NotFound},
      {"", K::NotFound},
      {t + "/feed.rss?x=1", K::NotFound},
      {t + "//feed.rss", K::NotFound},
      {t + "/episodes/../feed.rss", K::NotFound},
      {t + "/episodes/..%2f..%2fetc%2fpasswd", K::NotFound},
      {t + "/episodes/%2e%2e/" + key + ".mp3", K::NotFound},
      {t + "/episodes/" + key.substr(0, 15) + "G.mp3", K::NotFound},
      {t + "/episodes/" + key + ".mp3/", K::NotFound},
      {t + "/episodes//etc/passwd", K::NotFound},
      {"/etc/passwd", K::NotFound},
      {t + "/shows/" + key + ".mp3", K::NotFound},
      {t + "/episodes/" + key + "0.mp3", K::NotFound},
  };
  for (const TCase& c : cases) {
    const TPodcastRoute route = RoutePodcastPath(c.Path, kToken);
    EXPECT_EQ(route.Kind, c.Kind) << c.Path;
    if (c.Kind == K::ShowFeed || c.Kind == K::Episode) {
      EXPECT_EQ(route.Key, key);
    }
  }
  // No token configured never matches an empty one.
  EXPECT_EQ(RoutePodcastPath("//feed.rss", "").Kind, K::NotFound);
  const std::string a = NewPodcastToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, NewPodcastToken());
  EXPECT_EQ(RoutePodcastPath("/" + a + "/feed.rss", a).Kind, K::AllFeed);
}

TEST(PodcastFeedTest, IfNoneMatchNamesOnlyTheTagsItLists) {
  const std::string tag = FeedEntityTag("<rss/>");
  EXPECT_NE(tag, FeedEntityTag("<rss />"));
  const std::pair<std::string, bool> cases[] = {
      {tag, true},
      {"W/" + tag, true},
      {"\"x\",W/" + tag + " , \"y\"", true},
      {" * ", true},
      {"", false},
      {"\"x\"", false},
      {tag.substr(1, tag.size() - 2), false},  // unquoted
      {"\"x\" junk " + tag, false},
      {"\"x\", \"unclosed " + tag.substr(1), false},
  };
  for (const auto& [header, names] : cases) EXPECT_EQ(IfNoneMatchNames(header, tag), names) << header;
}

TEST(PodcastFeedTest, ByteRanges) {
  using K = TByteRange::TKind;
  struct TCase {
    std::string Header;
    std::uint64_t Size;
    K Kind;
    std::uint64_t First, Last;
  };
  const TCase cases[] = {
      {"", 1000, K::Whole, 0, 0},
      {"bytes=0-99", 1000, K::Partial, 0, 99},
      {"bytes=500-", 1000, K::Partial, 500, 999},
      {"bytes=-100", 1000, K::Partial, 900, 999},
      {"bytes=-5000", 1000, K::Partial, 0, 999},
      {"bytes=990-5000", 1000, K::Partial, 990, 999},
      {" bytes=999-999 ", 1000, K::Partial, 999, 999},
      {"bytes=1000-", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=1000-2000", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=99999999999999999999999-", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=-0", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=0-", 0, K::Unsatisfiable, 0, 0},
      {"bytes=5-2", 1000, K::Whole, 0, 0},
      {"bytes=0-1,5-9", 1000, K::Whole, 0, 0},
      {"items=0-9", 1000, K::Whole, 0, 0},
      {"bytes=a-9", 1000, K::Whole, 0, 0},
      {"bytes=-", 1000, K::Whole, 0, 0},
      {"bytes=--5", 1000, K::Whole, 0, 0},
  };
  for (const TCase& c : cases) {
    const TByteRange r = ParseByteRange(c.Header, c.Size);
    EXPECT_EQ(r.Kind, c.Kind) << c.Header;
    if (c.Kind == K::Partial) {
      EXPECT_EQ(r.First, c.First) << c.Header;
      EXPECT_EQ(r.Last, c.Last) << c.Header;
    }
  }
}

}  // namespace
}  // namespace wavecrate
