// The main window's own HTTP lookups on the vendor's web host: the banner
// pages chosen by the user's profile, the user-details report that yields a
// slot's advertisement address, and the media-type test of a stream link.
//
// Everything here is address building and reply handling; the requests go
// through an IHttpClient, so the logic runs the same against the real client
// (playback/curl) and the tests' loopback server. No call ever throws or shows
// anything: a failure gives false, an empty string or the fallback address.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "common/Http.h"

namespace wavecrate {

// The user's six profile answers, as the settings file holds them.
struct TUserProfile {
  std::string Gender;
  std::string YearOfBirth;
  std::string Country;
  std::string State;
  std::string PostalCode;
  std::string Occupation;
};

// The agent of the banner probes.
inline constexpr const char* kBannerProbeAgent = "InetURL:/1.0";

// "http://" + the build-time vendor host.
std::string DefaultVendorBase();

// Percent-encodes every byte outside the unreserved set A-Z a-z 0-9 - . _ ~
// (and outside `keep`), upper-case hex: a space becomes %20, a tab %09.
std::string PercentEncode(const std::string& text, const std::string& keep = "");

// Whether a Content-Type value names audio or video: it holds "Audio",
// "Video", "audio" or "video" (case-sensitive; "AUDIO/MPEG" does not count).
bool IsMediaContentType(const std::string& contentType);

// Whether a Content-Type value names a playlist that the player resolves
// itself (HLS, .pls, .m3u, .asx, .xspf served under an application type).
bool IsPlaylistContentType(const std::string& contentType);

// What a stream link turned out to be when it was asked for.
enum class TLinkKind {
  Media,    // a 2xx reply of an audio, video or playlist type: play it
  Page,     // a 2xx reply of another type: open it as a web page
  Unknown,  // no answer, a refusal, a time-out or an error status: the
            // stream may simply not be there yet, so keep trying it as media
};
// The judgment of one reply (redirects already followed).
TLinkKind JudgeLinkReply(const THttpResponse& response);

// Whether a reply body is one advertisement address: after trimming blanks
// and line ends, an http:// or https:// address with a host and no blanks or
// control characters inside.
bool IsAdvertisementAddress(const std::string& text);

class TWebLookups {
 public:
  // vendorBase: "http://host" (a trailing "/" is optional), normally
  // DefaultVendorBase(); programName: the agent of the report and the media
  // test, normally ProgramFileName(). The client must outlive this object.
  TWebLookups(IHttpClient& client, std::string vendorBase, std::string programName);

  void SetProfile(const TUserProfile& profile) { profile_ = profile; }
  const TUserProfile& Profile() const { return profile_; }
  // The base with its trailing "/".
  const std::string& Base() const { return base_; }

  // The profile as a path, unescaped: each answer with spaces turned into
  // "_", Gender in lower case, joined in the order Gender, Country,
  // YearOfBirth, Occupation, State, PostalCode, each after a "/".
  std::string UserProfilePath() const;

  // True when the server answers the address itself (redirects are not
  // followed) with status 200 or 302. An address without "http://" (or
  // "https://") anywhere, compared in lower case, gets "http://" in front.
  bool UrlExists(const std::string& address);

  // The most specific banner page that exists, probing from the whole
  // profile path down to the gender alone, one level per "/"; when none
  // exists, base + name + "ads/" + name + ".php", unprobed. Each level of the
  // path is percent-encoded in the address ("/" separates levels).
  // `hostAnswered`, when given, tells whether any probe got a reply at all
  // (whatever its status): false when the host could not be reached, so the
  // address returned cannot load either.
  std::string GetBannerUrl(const std::string& name, bool* hostAnswered = nullptr,
                           const std::atomic<bool>* cancel = nullptr);

  // The user-details request address for a show name: the six answers and
  // the show name percent-encoded as query values, every "_" of the show name
  // standing for a space (as %20).
  std::string UserDetailsUrl(const std::string& showName) const;

  // Reports the profile with the show name and returns the advertisement
  // address of the reply, or "" when the request failed, the status was not
  // 2xx, the reply was longer than the bound, or it is not one http(s)
  // address. The whole reply is read.
  std::string ReportUserDetails(const std::string& showName, const std::atomic<bool>* cancel = nullptr);

  // What the link serves (redirects followed; see TLinkKind). Only the
  // headers are read, so an endless stream costs no more than an ordinary
  // page. An empty link is Unknown. `cancel` (may be null) ends a request
  // that nobody waits for any more.
  TLinkKind JudgeLink(const std::string& link, const std::atomic<bool>* cancel = nullptr);
  // True when JudgeLink says Media.
  bool IsMediaLink(const std::string& link) { return JudgeLink(link) == TLinkKind::Media; }

  // Longest user-details reply read in full.
  static constexpr std::size_t kMaxUserDetailsReply = 16 * 1024;

 private:
  IHttpClient& client_;
  std::string base_;
  std::string programName_;
  TUserProfile profile_;
};

}  // namespace wavecrate
