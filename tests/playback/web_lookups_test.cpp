// Address building and reply judging of the web lookups, without a network.
#include <gtest/gtest.h>

#include <string>

#include "playback/WebLookups.h"

namespace wavecrate {
namespace {

// Never called: these tests only build addresses.
class TNoNetwork : public IHttpClient {
 public:
  THttpResponse Get(const THttpRequest&) override {
    ADD_FAILURE() << "no request expected";
    return {};
  }
};

TEST(WebLookupsTest, ProfilePathOrderCaseAndBlanks) {
  TNoNetwork net;
  TWebLookups lookups(net, "http://vendor.test", "wavecrate");
  EXPECT_EQ(lookups.Base(), "http://vendor.test/");
  TUserProfile p{"Male", "1970-1979", "United States", "Texas\t", "12345", "Management"};
  lookups.SetProfile(p);
  EXPECT_EQ(lookups.UserProfilePath(), "/male/United_States/1970-1979/Management/Texas\t/12345");
  // Only A-Z are lowered, and only in Gender; the other answers keep case.
  p.Gender = "FEMALE \xC9";
  p.Occupation = "Sales Staff";
  lookups.SetProfile(p);
  EXPECT_EQ(lookups.UserProfilePath(), "/female_\xC9/United_States/1970-1979/Sales_Staff/Texas\t/12345");
  lookups.SetProfile(TUserProfile{});
  EXPECT_EQ(lookups.UserProfilePath(), "//////");
}

TEST(WebLookupsTest, UserDetailsAddressKeepsGenderCaseAndEncodesEverything) {
  TNoNetwork net;
  TWebLookups lookups(net, "http://vendor.test/", "wavecrate");
  lookups.SetProfile({"Female", "1980-1989", "New Zealand", "", "0600", "Arts & Media"});
  EXPECT_EQ(lookups.UserDetailsUrl("The_Late Show"),
            "http://vendor.test/stream_recorder/userdetails.php?Gender=Female&YearOfBirth=1980-1989"
            "&Country=New%20Zealand&State=&PostalCode=0600&Occupation=Arts%20%26%20Media"
            "&ShowName=The%20Late%20Show");
}

TEST(WebLookupsTest, PercentEncoding) {
  EXPECT_EQ(PercentEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(PercentEncode(" \t/%+\x7F\xFF"), "%20%09%2F%25%2B%7F%FF");
  EXPECT_EQ(PercentEncode("/a b/c", "/"), "/a%20b/c");
  EXPECT_EQ(PercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(WebLookupsTest, MediaContentTypeIsCaseSensitiveAndCutAtNul) {
  EXPECT_TRUE(IsMediaContentType("audio/mpeg"));
  EXPECT_TRUE(IsMediaContentType("application/x-Video-thing"));
  EXPECT_FALSE(IsMediaContentType("AUDIO/MPEG"));
  EXPECT_FALSE(IsMediaContentType(""));
  EXPECT_FALSE(IsMediaContentType(std::string("text/html\0audio", 15)));
  // Longer than the header buffer: the query fails, so not media.
  EXPECT_TRUE(IsMediaContentType("audio/x-" + std::string(504, 'a')));
  EXPECT_FALSE(IsMediaContentType("audio/x-" + std::string(505, 'a')));
}

TEST(WebLookupsTest, AdvertisementAddressShape) {
  EXPECT_TRUE(IsAdvertisementAddress("http://ads.test/a.mp3"));
  EXPECT_TRUE(IsAdvertisementAddress("  HTTPS://ads.test/a.mp3?x=1\r\n"));
  EXPECT_FALSE(IsAdvertisementAddress(""));
  EXPECT_FALSE(IsAdvertisementAddress(" \r\n"));
  EXPECT_FALSE(IsAdvertisementAddress("http://"));
  EXPECT_FALSE(IsAdvertisementAddress("http:///path"));
  EXPECT_FALSE(IsAdvertisementAddress("http://ads.test/a.mp3\nhttp://ads.test/b.mp3"));
  EXPECT_FALSE(IsAdvertisementAddress("<html>http://ads.test/a.mp3</html>"));
  EXPECT_FALSE(IsAdvertisementAddress("file:///tmp/a.mp3"));
  EXPECT_FALSE(IsAdvertisementAddress(std::string("http://ads.test/\0a", 17)));
}

TEST(WebLookupsTest, DefaultBaseIsTheBuiltInHost) {
  EXPECT_EQ(DefaultVendorBase(), std::string("http://") + WAVECRATE_VENDOR_HOST);
  EXPECT_FALSE(ProgramFileName().empty());
  EXPECT_EQ(ProgramFileName().find('/'), std::string::npos);
}

}  // namespace
}  // namespace wavecrate
