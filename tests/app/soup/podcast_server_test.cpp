// The podcast share's server on 127.0.0.1, spoken to over plain sockets:
// feeds a real feed parser reads, byte ranges, what a wrong address gets, and
// the bounds on connections.
#include "app/soup/PodcastServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/PodcastFeed.h"
#include "app/RecordingHistory.h"
#include "audio/RiffHeader.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::WriteFile;

const std::string kToken = "00112233445566778899aabbccddeeff";

// A socket to the port on 127.0.0.1; `connected` says whether it got there.
int Dial(std::uint16_t port, bool* connected) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  *connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  return fd;
}

int Connect(std::uint16_t port) {
  bool connected = false;
  const int fd = Dial(port, &connected);
  EXPECT_TRUE(connected);
  return fd;
}

// Everything the server sends until it closes, or until `limit` passes.
std::string ReadAll(int fd, std::chrono::milliseconds limit = 10s) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  ReadAll(fd, limit);
  return std::chrono::steady_clock::now() - start < limit;
}

struct TAnswer {
  int Status = 0;
  std::string Head;
  std::string Body;
};

TAnswer Ask(std::uint16_t port, const std::string& request) {
  const int fd = Connect(port);
  EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const std::string raw = ReadAll(fd);
  close(fd);
  TAnswer a;
  const std::size_t split = raw.find("\r\n\r\n");
  a.Head = raw.substr(0, split);
  if (split != std::string::npos) a.Body = raw.substr(split + 4);
  if (raw.starts_with("HTTP/1.1 ")) a.Status = std::stoi(raw.substr(9, 3));
  return a;
}

TAnswer Get(std::uint16_t port, const std::string& target, const std::string& extra = "") {
  return Ask(port,
             "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n");
}

std::string Frames(std::size_t bytes) {
  std::string data;
  for (std::size_t i = 0; data.size() < bytes; ++i) data += static_cast<char>((i * 7919) >> 3);
  data[0] = '\xFF', data[1] = '\xFB', data[2] = '\x90', data[3] = '\x64';
  return data;
}

class PodcastServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frames_ = Frames(300000);
    const TBytes head = BuildRiffHeader(MakeMpegLayer3FormatBlock(44100, 2, 128000),
                                        static_cast<std::uint32_t>(frames_.size()));
    WriteFile(dir_.File("wave.mp3"), std::string(head.begin(), head.end()) + frames_);
    WriteFile(dir_.File("secret.txt"), "not a recording");
    TRecordingHistory history(dir_.File("history.jsonl"));
    TRecordingReport r;
    r.Slot = 1;
    r.ShowName = "Late Call-in";
    r.Station = "KTLK";
    r.File = dir_.File("wave.mp3");
    r.ScheduledStart = r.ActualStart = 2000000000;
    r.ActualLength = 18.7;
    r.Result = TRecordingResult::Recorded;
    ASSERT_TRUE(history.Append({THistoryRecord::TEvent::Finished, RecordingId(r), r}, false));
    episode_ = PodcastEpisodes({{THistoryRecord::TEvent::Finished, RecordingId(r), r}}).at(0);
    body_ = std::string(episode_.Tag.begin(), episode_.Tag.end()) + frames_;
  }

  void StartServer(TPodcastServerOptions options) {
    options.HistoryPath = dir_.File("history.jsonl");
    options.Token = kToken;
    options.Port = 0;
    options.LoopbackOnly = true;
    server_ = std::make_unique<TPodcastServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->Port();
  }

  TempDir dir_;
  std::string frames_;
  TPodcastEpisode episode_;
  std::string body_;
  std::unique_ptr<TPodcastServer> server_;
  std::uint16_t port_ = 0;
};

TEST_F(PodcastServerTest, ServesFeedsAndByteExactRangesAndNothingElse) {
  StartServer({});
  const std::string episode = "/" + kToken + "/episodes/" + episode_.Key + ".mp3";
  const std::uint64_t size = body_.size();

  // A real feed parser subscribes over HTTP.
  const std::string script =
      "import feedparser,sys\n"
      "d=feedparser.parse(sys.argv[1])\n"
      "e=feedparser.parse(sys.argv[1],etag=d.etag)\n"
      "print(int(d.bozo),d.status,len(d.entries),d.entries[0].enclosures[0].href,d.entries[0].enclosures[0]."
      "length,e.status,len(e.entries))\n";
  const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/" + kToken;
  for (const std::string& feed : {url + "/feed.rss", url + "/shows/" + PodcastKey("Late Call-in") + ".rss"}) {
    const std::string command = "/usr/bin/python3 -c '" + script + "' " + feed + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[1024] = {};
    const std::size_t n = fread(line, 1, sizeof line - 1, pipe);
    pclose(pipe);
    // A second poll with the tag it was given is told "not modified".
    EXPECT_EQ(std::string(line, n), "0 200 1 http://127.0.0.1:" + std::to_string(port_) + episode + " " +
                                        std::to_string(size) + " 304 0\n");
  }

  struct TRangeCase {
    std::string Range;
    int Status;
    std::uint64_t First, Last;
  };
  const TRangeCase ranges[] = {
      {"", 200, 0, size - 1},
      {"Range: bytes=0-99\r\n", 206, 0, 99},
      {"Range: bytes=100-70000\r\n", 206, 100, 70000},
      {"Range: bytes=-5000\r\n", 206, size - 5000, size - 1},
      {"Range: bytes=150000-\r\n", 206, 150000, size - 1},
      {"Range: bytes=" + std::to_string(size) + "-\r\n", 416, 0, 0},
      {"Range: bytes=0-1,4-5\r\n", 200, 0, size - 1},
  };
  for (const TRangeCase& c : ranges) {
    const TAnswer a = Get(port_, episode, c.Range);
    EXPECT_EQ(a.Status, c.Status) << c.Range;
    if (c.Status == 416) {
      EXPECT_NE(a.Head.find("Content-Range: bytes */" + std::to_string(size)), std::string::npos);
      continue;
    }
    EXPECT_NE(a.Head.find("Content-Type: audio/mpeg"), std::string::npos);
    EXPECT_TRUE(a.Body == body_.substr(c.First, c.Last - c.First + 1)) << c.Range << ": " << a.Body.size();
    if (c.Status == 206) {
      EXPECT_NE(a.Head.find("Content-Range: bytes " + std::to_string(c.First) + "-" + std::to_string(c.Last) +
                            "/" + std::to_string(size)),
                std::string::npos)
          << a.Head;
    }
  }
  // A client that would keep the connection for its next range is told that
  // the server closes it, rather than have that next request reset.
  const TAnswer kept = Ask(port_, "GET " + episode + " HTTP/1.1\r\nHost: x\r\nRange: bytes=0-9\r\n\r\n");
  EXPECT_EQ(kept.Status, 206);
  EXPECT_NE(kept.Head.find("\r\nConnection: close"), std::string::npos) << kept.Head;
  // An app holding the episode is told "not modified" (the feed's 304 is the
  // parser's second poll above); a range of a body it no longer holds gets
  // the whole body.
  const std::string tag = EpisodeEntityTag(episode_);
  EXPECT_EQ(Get(port_, episode, "If-None-Match: " + tag + "\r\n").Status, 304);
  EXPECT_EQ(Get(port_, episode, "Range: bytes=0-9\r\nIf-Range: " + tag + "\r\n").Status, 206);
  const TAnswer stale = Get(port_, episode, "Range: bytes=0-9\r\nIf-Range: \"0\"\r\n");
  EXPECT_EQ(stale.Status, 200);
  EXPECT_TRUE(stale.Body == body_);
  const TAnswer head = Ask(port_, "HEAD " + episode + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(head.Status, 200);
  EXPECT_NE(head.Head.find("Content-Length: " + std::to_string(size)), std::string::npos) << head.Head;
  EXPECT_TRUE(head.Body.empty());

  // Everything else gets the very same answer.
  const TAnswer missing = Get(port_, "/" + kToken + "/episodes/0000000000000000.mp3");
  EXPECT_EQ(missing.Status, 404);
  const std::string wrongToken = "/00112233445566778899aabbccddeefe";
  const std::string bad[] = {
      wrongToken + "/feed.rss",
      wrongToken + "/episodes/" + episode_.Key + ".mp3",
      "/" + kToken + "/shows/0000000000000000.rss",
      "/" + kToken + "/../../../../etc/passwd",
      "/" + kToken + "/episodes/%2e%2e/%2e%2e/secret.txt",
      "/" + kToken + "/%2E%2E%2Fsecret.txt",
      "/" + kToken + "/episodes/..%2f..%2f" + dir_.File("secret.txt"),
      dir_.File("secret.txt"),
      "http://127.0.0.1/" + kToken + "/..%2fsecret.txt",
      "/" + kToken + "/",
      "/" + kToken,
      "/",
  };
  for (const std::string& target : bad) {
    const TAnswer a = Get(port_, target);
    EXPECT_EQ(a.Status, 404) << target;
    EXPECT_EQ(a.Body, missing.Body) << target;
  }
  const TAnswer post = Ask(port_, "POST /" + kToken +
                                      "/feed.rss HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                                      "Connection: close\r\n\r\n");
  EXPECT_EQ(post.Status, 404);
  // Broken and overlong request lines are refused, never served.
  for (const std::string& request : {"GET " + std::string(200000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
                                     std::string("GARBAGE\r\n\r\n"), std::string("GET /\r\n\r\n")}) {
    const TAnswer a = Ask(port_, request);
    EXPECT_TRUE(a.Status == 0 || a.Status >= 400) << a.Head;
    EXPECT_EQ(a.Body.find("not a recording"), std::string::npos);
  }

  // A new token: the old address is gone at once.
  server_->SetToken("ffeeddccbbaa99887766554433221100");
  EXPECT_EQ(Get(port_, "/" + kToken + "/feed.rss").Status, 404);
  EXPECT_EQ(Get(port_, "/ffeeddccbbaa99887766554433221100/feed.rss").Status, 200);
  EXPECT_NE(Get(port_, "/ffeeddccbbaa99887766554433221100/feed.rss")
                .Body.find("/ffeeddccbbaa99887766554433221100/"),
            std::string::npos);
}

TEST_F(PodcastServerTest, ConnectionsAreBoundedInNumberAndTime) {
  TPodcastServerOptions options;
  options.MaxConnections = 3;
  options.IdleSeconds = 2;
  options.HeaderSeconds = 3;
  StartServer(options);
  // Silent connections fill the server; one more waits, unanswered but not
  // refused, in the listen queue.
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(Connect(port_));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server_->Connections(), 3u);
  const int extra = Connect(port_);
  const std::string ask =
      "GET /" + kToken + "/feed.rss HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(send(extra, ask.data(), ask.size(), MSG_NOSIGNAL), static_cast<ssize_t>(ask.size()));
  pollfd waiting{extra, POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 1000), 0);
  EXPECT_EQ(server_->Connections(), 3u);
  // The silent ones are closed after the idle time, and the one that waited
  // is served then.
  for (const int fd : idle) {
    EXPECT_TRUE(ClosedWithin(fd, 5s));
    close(fd);
  }
  EXPECT_TRUE(ReadAll(extra, 5s).starts_with("HTTP/1.1 200 "));
  close(extra);
  // A client that sends its request a byte at a time, never idle for long,
  // is cut off at the header deadline.
  const int slow = Connect(port_);
  const std::string request = "GET /" + kToken + "/feed.rss HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const auto start = std::chrono::steady_clock::now();
  bool cut = false;
  for (std::size_t i = 0; i < request.size() && !cut; ++i) {
    if (send(slow, &request[i], 1, MSG_NOSIGNAL) != 1) cut = true;
    pollfd p{slow, POLLIN, 0};
    if (poll(&p, 1, 500) > 0) {
      char c;
      cut = read(slow, &c, 1) <= 0;
    }
  }
  EXPECT_TRUE(cut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
  close(slow);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server_->Connections(), 0u);
  EXPECT_EQ(Get(port_, "/" + kToken + "/feed.rss").Status, 200);
}

TEST_F(PodcastServerTest, TakenPortFailsAtStartAndStopClosesWhatIsOpen) {
  StartServer({});
  TPodcastServerOptions same;
  same.HistoryPath = dir_.File("history.jsonl");
  same.Token = kToken;
  same.Port = port_;
  same.LoopbackOnly = true;
  TPodcastServer second(same);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_FALSE(second.Running());
  EXPECT_NE(error.find("in use"), std::string::npos) << error;

  // Stop returns with the connections closed and the port given up, long
  // before any idle limit.
  const int open = Connect(port_);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server_->Connections(), 1u);
  server_->Stop();
  EXPECT_FALSE(server_->Running());
  EXPECT_TRUE(ClosedWithin(open, 1s));
  close(open);
  bool connected = true;
  close(Dial(port_, &connected));
  EXPECT_FALSE(connected);
}

}  // namespace
}  // namespace wavecrate
