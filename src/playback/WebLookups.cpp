#include "playback/WebLookups.h"

#include <algorithm>
#include <utility>

namespace wavecrate {

namespace {

// The longest Content-Type value the media test reads; a longer one counts as
// a failed header query.
constexpr std::size_t kMaxContentType = 512;

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  std::string::size_type at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::string TrimBlanks(const std::string& text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
  return first < last ? std::string(first, last) : std::string();
}

// A link as the user typed it may hold blanks or other bytes that are not
// allowed in an address; those alone are encoded, everything else is kept.
std::string EscapeUnsafeBytes(const std::string& link) {
  std::string keep;
  for (int c = 0x21; c < 0x7F; ++c) keep += static_cast<char>(c);
  return PercentEncode(link, keep);
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && AsciiLower(text.substr(0, prefix.size())) == prefix;
}

// The probe itself, so that GetBannerUrl can tell a missing page from a host
// that cannot be reached.
THttpResponse Probe(IHttpClient& client, const std::string& address,
                    const std::atomic<bool>* cancel = nullptr) {
  std::string url = address;
  const std::string lower = AsciiLower(address);
  if (lower.find("http://") == std::string::npos && lower.find("https://") == std::string::npos) {
    url = "http://" + address;
  }
  THttpRequest request;
  request.Url = url;
  request.UserAgent = kBannerProbeAgent;
  request.FollowRedirects = false;  // a 302 is a hit in its own right
  request.MaxBodyBytes = 0;         // only the status matters
  request.Cancel = cancel;
  return client.Get(request);
}

bool IsHit(const THttpResponse& response) {
  return response.Success && (response.Status == 200 || response.Status == 302);
}

}  // namespace

std::string DefaultVendorBase() {
  return std::string("http://") + WAVECRATE_VENDOR_HOST;
}

std::string PercentEncode(const std::string& text, const std::string& keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                            byte == '~';
    if (unreserved || keep.find(c) != std::string::npos) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

bool IsMediaContentType(const std::string& contentType) {
  // The header value as a C string: up to its first NUL.
  const std::string text = contentType.substr(0, contentType.find('\0'));
  if (text.size() > kMaxContentType) return false;
  for (const char* word : {"Audio", "Video", "audio", "video"}) {
    if (text.find(word) != std::string::npos) return true;
  }
  return false;
}

bool IsPlaylistContentType(const std::string& contentType) {
  const std::string text = AsciiLower(contentType.substr(0, contentType.find(';')));
  for (const char* type :
       {"application/vnd.apple.mpegurl", "application/x-mpegurl", "application/pls+xml",
        "application/xspf+xml", "application/x-scpls", "application/x-ms-asf", "application/vnd.ms-asf"}) {
    if (text.find(type) != std::string::npos) return true;
  }
  return false;
}

TLinkKind JudgeLinkReply(const THttpResponse& response) {
  // Only a reply that the server means as its content says what the link is;
  // a 404 or 503 from a mount whose encoder is restarting says nothing.
  if (!response.Success || response.Status < 200 || response.Status > 299) return TLinkKind::Unknown;
  if (IsMediaContentType(response.ContentType) || IsPlaylistContentType(response.ContentType)) {
    return TLinkKind::Media;
  }
  return TLinkKind::Page;
}

bool IsAdvertisementAddress(const std::string& text) {
  const std::string address = TrimBlanks(text);
  if (address.empty()) return false;
  std::string::size_type hostStart = 0;
  if (StartsWithNoCase(address, "http://")) {
    hostStart = 7;
  } else if (StartsWithNoCase(address, "https://")) {
    hostStart = 8;
  } else {
    return false;
  }
  if (hostStart >= address.size() || address[hostStart] == '/' || address[hostStart] == '?' ||
      address[hostStart] == '#') {
    return false;
  }
  return std::none_of(address.begin(), address.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

TWebLookups::TWebLookups(IHttpClient& client, std::string vendorBase, std::string programName)
    : client_(client), base_(std::move(vendorBase)), programName_(std::move(programName)) {
  if (base_.empty() || base_.back() != '/') base_ += '/';
}

std::string TWebLookups::UserProfilePath() const {
  const auto level = [](const std::string& answer) { return "/" + ReplaceAll(answer, " ", "_"); };
  return level(AsciiLower(profile_.Gender)) + level(profile_.Country) + level(profile_.YearOfBirth) +
         level(profile_.Occupation) + level(profile_.State) + level(profile_.PostalCode);
}

bool TWebLookups::UrlExists(const std::string& address) {
  return IsHit(Probe(client_, address));
}

std::string TWebLookups::GetBannerUrl(const std::string& name, bool* hostAnswered,
                                      const std::atomic<bool>* cancel) {
  if (hostAnswered) *hostAnswered = false;
  const std::string encodedName = PercentEncode(name);
  std::string path = UserProfilePath();
  for (std::string::size_type slash; (slash = path.rfind('/')) != std::string::npos; path.erase(slash)) {
    // Each level is encoded on its own; the "/" between levels stays.
    std::string candidate = base_;
    candidate += encodedName;
    candidate += "ads";
    candidate += PercentEncode(path, "/");
    candidate += "/";
    candidate += encodedName;
    candidate += ".php";
    const THttpResponse response = Probe(client_, candidate, cancel);
    // A host that cannot be reached at all (or holds the connection without
    // answering) will not answer the next level either; every further probe
    // would only cost another time-out.
    if (!response.Success && response.Status == 0) break;
    if (hostAnswered) *hostAnswered = true;
    if (IsHit(response)) return candidate;
  }
  return base_ + encodedName + "ads/" + encodedName + ".php";
}

std::string TWebLookups::UserDetailsUrl(const std::string& showName) const {
  const auto value = [](const std::string& text) { return PercentEncode(text); };
  return base_ + "stream_recorder/userdetails.php?Gender=" + value(profile_.Gender) +
         "&YearOfBirth=" + value(profile_.YearOfBirth) + "&Country=" + value(profile_.Country) +
         "&State=" + value(profile_.State) + "&PostalCode=" + value(profile_.PostalCode) +
         "&Occupation=" + value(profile_.Occupation) + "&ShowName=" + value(ReplaceAll(showName, "_", " "));
}

std::string TWebLookups::ReportUserDetails(const std::string& showName, const std::atomic<bool>* cancel) {
  THttpRequest request;
  request.Cancel = cancel;
  request.Url = UserDetailsUrl(showName);
  request.UserAgent = programName_;
  request.FollowRedirects = true;
  request.MaxBodyBytes = kMaxUserDetailsReply;
  const THttpResponse response = client_.Get(request);
  if (!response.Success || response.Truncated || response.Status < 200 || response.Status > 299) return "";
  if (!IsAdvertisementAddress(response.Body)) return "";
  return TrimBlanks(response.Body);
}

TLinkKind TWebLookups::JudgeLink(const std::string& link, const std::atomic<bool>* cancel) {
  if (link.empty()) return TLinkKind::Unknown;
  THttpRequest request;
  request.Cancel = cancel;
  request.Url = EscapeUnsafeBytes(link);
  request.UserAgent = programName_;
  request.FollowRedirects = true;
  request.MaxBodyBytes = 0;  // a live stream never ends; its headers are enough
  return JudgeLinkReply(client_.Get(request));
}

}  // namespace wavecrate
