// The web lookups over libcurl against the tests' own loopback server, which
// records every request it is sent.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/curl/CurlHttpClient.h"
#include "playback/WebLookups.h"
#include "support/playback_http_server.h"
#include "support/playback_process.h"

namespace wavecrate {
namespace {

using test::TPlaybackHttpServer;
using test::TRecordedRequest;

TUserProfile TexasProfile() {
  TUserProfile p;
  p.Gender = "Male";
  p.YearOfBirth = "1970-1979";
  p.Country = "United States";
  p.State = "Texas\t";
  p.PostalCode = "12345";
  p.Occupation = "Management";
  return p;
}

std::vector<std::string> Targets(const std::vector<TRecordedRequest>& requests) {
  std::vector<std::string> targets;
  for (const auto& r : requests) targets.push_back(r.Target);
  return targets;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class WebLookupsCurlTest : public ::testing::Test {
 protected:
  WebLookupsCurlTest() : lookups_(client_, server_.Base(), "wavecrate") {
    lookups_.SetProfile(TexasProfile());
  }

  TPlaybackHttpServer server_;
  TCurlHttpClient client_;
  TWebLookups lookups_;
};

// ---------------------------------------------------------------- banners

TEST_F(WebLookupsCurlTest, BannerProbesRunFromWholeProfileDownToGenderThenFallBack) {
  bool answered = false;
  const std::string url = lookups_.GetBannerUrl("banner1", &answered);
  EXPECT_EQ(url, server_.Base() + "/banner1ads/banner1.php");
  EXPECT_TRUE(answered) << "a host that answers 404 can still show the fallback";
  const auto requests = server_.Requests();
  const std::vector<std::string> expected = {
      "/banner1ads/male/United_States/1970-1979/Management/Texas%09/12345/banner1.php",
      "/banner1ads/male/United_States/1970-1979/Management/Texas%09/banner1.php",
      "/banner1ads/male/United_States/1970-1979/Management/banner1.php",
      "/banner1ads/male/United_States/1970-1979/banner1.php",
      "/banner1ads/male/United_States/banner1.php",
      "/banner1ads/male/banner1.php",
  };
  // The fallback itself is never probed.
  EXPECT_EQ(Targets(requests), expected);
  for (const auto& r : requests) {
    EXPECT_EQ(r.Method, "GET");
    EXPECT_EQ(r.Header.at("user-agent"), "InetURL:/1.0");
    for (const auto& name : r.HeaderNames) {
      EXPECT_TRUE(name == "Host" || name == "User-Agent" || name == "Accept") << "unexpected header " << name;
    }
  }
}

TEST_F(WebLookupsCurlTest, EmptyStateMakesAnEmptyLevel) {
  TUserProfile p = TexasProfile();
  p.State = "";
  lookups_.SetProfile(p);
  lookups_.GetBannerUrl("banner2");
  const auto targets = Targets(server_.Requests());
  ASSERT_EQ(targets.size(), 6u);
  EXPECT_EQ(targets[0], "/banner2ads/male/United_States/1970-1979/Management//12345/banner2.php");
  EXPECT_EQ(targets[1], "/banner2ads/male/United_States/1970-1979/Management//banner2.php");
  EXPECT_EQ(targets[2], "/banner2ads/male/United_States/1970-1979/Management/banner2.php");
}

TEST_F(WebLookupsCurlTest, SlashInsideAnAnswerAddsALevelAndOddBytesAreEncoded) {
  TUserProfile p = TexasProfile();
  p.Occupation = "Sales/Marketing";
  p.Country = "C\xF4te d'Ivoire";
  lookups_.SetProfile(p);
  lookups_.GetBannerUrl("banner1");
  const auto targets = Targets(server_.Requests());
  ASSERT_EQ(targets.size(), 7u);
  EXPECT_EQ(targets[0],
            "/banner1ads/male/C%F4te_d%27Ivoire/1970-1979/Sales/Marketing/Texas%09/12345/banner1.php");
  EXPECT_EQ(targets[6], "/banner1ads/male/banner1.php");
}

TEST_F(WebLookupsCurlTest, StatusOfTheProbedAddressItselfDecides) {
  const std::string level3 = "/banner1ads/male/United_States/1970-1979/Management/banner1.php";
  const std::string level5 = "/banner1ads/male/United_States/banner1.php";
  // 301 is a miss even though its target exists; a 302 is a hit without
  // being followed.
  server_.SetRoutes(R"([
    {"path": "/banner1ads/male/United_States/1970-1979/Management/Texas%09/12345/banner1.php",
     "status": 301, "location": "{base}/banner1ads/male/banner1.php"},
    {"path": "/banner1ads/male/United_States/1970-1979/Management/Texas%09/banner1.php", "status": 404},
    {"path": ")" + level3 +
                    R"(", "status": 302, "location": "{base}/elsewhere"},
    {"path": "/banner1ads/male/banner1.php", "status": 200}
  ])");
  EXPECT_EQ(lookups_.GetBannerUrl("banner1"), server_.Base() + level3);
  EXPECT_EQ(Targets(server_.Requests()).size(), 3u);

  server_.ClearRequests();
  server_.SetRoutes(R"([{"path": ")" + level5 + R"(", "status": 200, "body": "<html>banner</html>"}])");
  EXPECT_EQ(lookups_.GetBannerUrl("banner1"), server_.Base() + level5);
  EXPECT_EQ(Targets(server_.Requests()).size(), 5u);

  // Other statuses that mean "here it is" to a browser are still misses.
  server_.SetRoutes(R"([{"prefix": "/banner1ads", "status": 204}])");
  EXPECT_EQ(lookups_.GetBannerUrl("banner1"), server_.Base() + "/banner1ads/banner1.php");
}

TEST_F(WebLookupsCurlTest, UrlExistsAddsASchemeOnlyWhenNoneIsThere) {
  server_.SetRoutes(R"([{"path": "/here.php", "status": 200}])");
  const std::string hostPort = "127.0.0.1:" + std::to_string(server_.Port());
  EXPECT_TRUE(lookups_.UrlExists(hostPort + "/here.php"));
  EXPECT_TRUE(lookups_.UrlExists("HTTP://" + hostPort + "/here.php"));
  EXPECT_FALSE(lookups_.UrlExists(hostPort + "/missing.php"));
  EXPECT_EQ(Targets(server_.Requests()),
            (std::vector<std::string>{"/here.php", "/here.php", "/missing.php"}));
}

TEST_F(WebLookupsCurlTest, UnreachableHostGivesTheFallbackAfterOneAttempt) {
  const int deadPort = test::PlaybackFreePort();
  TWebLookups dead(client_, "http://127.0.0.1:" + std::to_string(deadPort), "wavecrate");
  dead.SetProfile(TexasProfile());
  const auto start = std::chrono::steady_clock::now();
  bool answered = true;
  EXPECT_EQ(dead.GetBannerUrl("banner2", &answered),
            "http://127.0.0.1:" + std::to_string(deadPort) + "/banner2ads/banner2.php");
  EXPECT_FALSE(answered);
  EXPECT_EQ(dead.ReportUserDetails("Show"), "");
  EXPECT_EQ(dead.JudgeLink("http://127.0.0.1:" + std::to_string(deadPort) + "/live"), TLinkKind::Unknown);
  // Refused at once: nowhere near a connect time-out.
  EXPECT_LT(SecondsSince(start), 3.0);
}

TEST_F(WebLookupsCurlTest, ServerThatNeverAnswersCostsOneBoundedWait) {
  server_.SetRoutes(R"([{"prefix": "/", "hold": true}])");
  const auto start = std::chrono::steady_clock::now();
  bool answered = true;
  EXPECT_EQ(lookups_.GetBannerUrl("banner1", &answered), server_.Base() + "/banner1ads/banner1.php");
  EXPECT_FALSE(answered) << "a host that never answers cannot show a banner";
  const double banner = SecondsSince(start);
  // One total time-out (8 s), not six.
  EXPECT_GE(banner, 7.0);
  EXPECT_LT(banner, 12.0);
  EXPECT_EQ(server_.Requests().size(), 1u);
}

// ---------------------------------------------------------------- user details

TEST_F(WebLookupsCurlTest, UserDetailsQueryCarriesTheProfileEncoded) {
  TUserProfile p = TexasProfile();
  p.Gender = "Female";
  lookups_.SetProfile(p);
  server_.SetRoutes(
      R"([{"path": "/stream_recorder/userdetails.php", "body": "http://ads.example/clip.mp3\r\n"}])");
  EXPECT_EQ(lookups_.ReportUserDetails("  Coast_to_Coast AM"), "http://ads.example/clip.mp3");
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Path, "/stream_recorder/userdetails.php");
  // Gender keeps its case here; "_" of the show name is a space; the editor's
  // two-space indent is kept, encoded like every other space.
  EXPECT_EQ(requests[0].Query,
            "Gender=Female&YearOfBirth=1970-1979&Country=United%20States&State=Texas%09&PostalCode=12345"
            "&Occupation=Management&ShowName=%20%20Coast%20to%20Coast%20AM");
  EXPECT_EQ(requests[0].Header.at("user-agent"), "wavecrate");
}

TEST_F(WebLookupsCurlTest, ReplyCharactersThatWouldBreakTheQueryAreEncoded) {
  TUserProfile p = TexasProfile();
  p.Occupation = "R&D=100%";
  lookups_.SetProfile(p);
  lookups_.ReportUserDetails("Talk#1?");
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].Query.find("&Occupation=R%26D%3D100%25&ShowName=Talk%231%3F"), std::string::npos)
      << requests[0].Query;
}

TEST_F(WebLookupsCurlTest, OnlyASuccessfulAddressReplyBecomesTheAdvertisement) {
  const std::string path = "/stream_recorder/userdetails.php";
  struct Case {
    std::string route;
    std::string expected;
  };
  const std::string longAddress = "http://ads.example/" + std::string(1481, 'a');  // 1500 bytes
  const std::string exact1024 = "https://ads.example/" + std::string(1004, 'b');   // 1024 bytes
  const std::vector<Case> cases = {
      {R"({"path": ")" + path + R"(", "body": ""})", ""},
      {R"({"path": ")" + path + R"(", "body": "no advertisement today"})", ""},
      {R"({"path": ")" + path + R"(", "status": 404, "body": "http://ads.example/clip.mp3"})", ""},
      {R"({"path": ")" + path + R"(", "status": 500, "body": "<html>error</html>"})", ""},
      {R"({"path": ")" + path + R"(", "body": "http://ads.example/a b.mp3"})", ""},
      {R"({"path": ")" + path + R"(", "body": "ftp://ads.example/clip.mp3"})", ""},
      {R"({"path": ")" + path + R"(", "body": ")" + longAddress + R"("})", longAddress},
      {R"({"path": ")" + path + R"(", "body": ")" + exact1024 + R"("})", exact1024},
      {R"({"path": ")" + path + R"(", "status": 302, "location": "{base}/ad.txt"},
          {"path": "/ad.txt", "body": "http://ads.example/moved.mp3"})",
       "http://ads.example/moved.mp3"},
      {R"({"path": ")" + path + R"(", "body_size": 3000000})", ""},
  };
  for (const auto& c : cases) {
    server_.SetRoutes("[" + c.route + "]");
    EXPECT_EQ(lookups_.ReportUserDetails("Show"), c.expected) << c.route.substr(0, 120);
  }
}

// ---------------------------------------------------------------- media test

TEST_F(WebLookupsCurlTest, MediaLinkFollowsTheContentType) {
  struct Case {
    std::string contentType;
    bool media;
  };
  const std::vector<Case> cases = {
      {"audio/mpeg", true},   {"video/x-ms-asf", true},
      {"Audio/x-test", true}, {"audio/aacp; charset=x", true},
      {"text/html", false},   {"application/octet-stream", false},
      {"AUDIO/MPEG", false},  {"VIDEO/MP4", false},
  };
  for (const auto& c : cases) {
    server_.SetRoutes(R"([{"path": "/link", "content_type": ")" + c.contentType + R"(", "body": "x"}])");
    EXPECT_EQ(lookups_.IsMediaLink(server_.Base() + "/link"), c.media) << c.contentType;
  }
  server_.SetRoutes(R"([{"path": "/link", "body": "no type"}])");
  EXPECT_EQ(lookups_.JudgeLink(server_.Base() + "/link"), TLinkKind::Page);
  // A mount that is not up yet answers 404: that says nothing of the link.
  server_.SetRoutes(R"([{"path": "/link", "status": 404, "content_type": "text/html", "body": "gone"}])");
  EXPECT_EQ(lookups_.JudgeLink(server_.Base() + "/link"), TLinkKind::Unknown);
  EXPECT_EQ(server_.Requests().back().Header.at("user-agent"), "wavecrate");

  const auto before = server_.Requests().size();
  EXPECT_EQ(lookups_.JudgeLink(""), TLinkKind::Unknown);
  EXPECT_EQ(server_.Requests().size(), before);
}

TEST_F(WebLookupsCurlTest, MediaLinkFollowsRedirectsAndDoesNotWaitForAnEndlessStream) {
  server_.SetRoutes(R"([
    {"path": "/listen", "status": 302, "location": "{base}/live"},
    {"path": "/live", "content_type": "audio/mpeg", "stream": true},
    {"path": "/page", "status": 301, "location": "{base}/page.html"},
    {"path": "/page.html", "content_type": "text/html", "body": "<html></html>"}
  ])");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(lookups_.IsMediaLink(server_.Base() + "/listen"));
  // Well before the 8 s total time-out: only the headers were waited for.
  EXPECT_LT(SecondsSince(start), 4.0);
  EXPECT_FALSE(lookups_.IsMediaLink(server_.Base() + "/page"));
  EXPECT_EQ(Targets(server_.Requests()),
            (std::vector<std::string>{"/listen", "/live", "/page", "/page.html"}));
}

TEST_F(WebLookupsCurlTest, MediaLinkWithBlanksIsSentEncoded) {
  server_.SetRoutes(R"([{"path": "/my%20radio.mp3", "content_type": "audio/mpeg", "body": "x"}])");
  EXPECT_TRUE(lookups_.IsMediaLink(server_.Base() + "/my radio.mp3"));
  EXPECT_EQ(server_.Requests().back().Target, "/my%20radio.mp3");
}

// ---------------------------------------------------------------- the client itself

TEST_F(WebLookupsCurlTest, ClientBoundsTheBodyOfAMegabyteReply) {
  server_.SetRoutes(R"([{"path": "/big", "content_type": "text/plain", "body_size": 4000000}])");
  THttpRequest request;
  request.Url = server_.Base() + "/big";
  request.MaxBodyBytes = 65536;
  const THttpResponse response = client_.Get(request);
  EXPECT_TRUE(response.Success);
  EXPECT_EQ(response.Status, 200);
  EXPECT_TRUE(response.Truncated);
  EXPECT_EQ(response.Body.size(), 65536u);
  EXPECT_EQ(response.ContentType, "text/plain");

  request.MaxBodyBytes = 4000000;
  const THttpResponse whole = client_.Get(request);
  EXPECT_TRUE(whole.Success);
  EXPECT_FALSE(whole.Truncated);
  EXPECT_EQ(whole.Body.size(), 4000000u);
}

TEST_F(WebLookupsCurlTest, ClientGivesUpOnASilentOrStalledServerAfterItsTotalTimeOut) {
  server_.SetRoutes(R"([
    {"path": "/silent", "hold": true},
    {"path": "/stalled", "body_size": 100000, "stall_after": 1000}
  ])");
  for (const char* path : {"/silent", "/stalled"}) {
    THttpRequest request;
    request.Url = server_.Base() + path;
    request.TotalTimeout = std::chrono::milliseconds(1500);
    const auto start = std::chrono::steady_clock::now();
    const THttpResponse response = client_.Get(request);
    const double took = SecondsSince(start);
    EXPECT_FALSE(response.Success) << path;
    EXPECT_FALSE(response.Error.empty()) << path;
    EXPECT_GE(took, 1.4) << path;
    EXPECT_LT(took, 5.0) << path;
  }
}

TEST_F(WebLookupsCurlTest, ClientRefusesWhatItMustNotFetch) {
  for (const std::string& url : {std::string("http://127.0.0.1:1/a b"), std::string("file:///etc/passwd"),
                                 std::string("not a url"), std::string("")}) {
    THttpRequest request;
    request.Url = url;
    const THttpResponse response = client_.Get(request);
    EXPECT_FALSE(response.Success) << url;
    EXPECT_EQ(response.Status, 0) << url;
    EXPECT_TRUE(response.Body.empty()) << url;
  }
  // Redirects to another scheme are not followed either.
  server_.SetRoutes(R"([{"path": "/to-file", "status": 302, "location": "file:///etc/passwd"}])");
  THttpRequest request;
  request.Url = server_.Base() + "/to-file";
  EXPECT_FALSE(client_.Get(request).Success);
}

}  // namespace
}  // namespace wavecrate
