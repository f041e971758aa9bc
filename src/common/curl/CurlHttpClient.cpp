#include "common/curl/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace wavecrate {

namespace {

// The headers of the replies of one transfer, as they arrive. libcurl passes
// the header lines of every reply, redirects and informational ones included.
struct THeaderState {
  bool Follow = true;  // libcurl follows 3xx replies with a Location
  // The reply whose headers are arriving.
  int Status = 0;
  std::string ContentType;
  bool HasLocation = false;
  // Set once the headers of the reply that will not be followed are in.
  bool FinalHeadersDone = false;
};

// What the callbacks gather during one transfer. libcurl calls them on the
// thread that runs curl_easy_perform, i.e. the caller's.
struct TTransfer {
  const THttpRequest* Request = nullptr;
  THttpResponse* Response = nullptr;
  THeaderState Headers;
  bool StoppedAfterHeaders = false;
  bool StoppedAtBound = false;
  bool CallbackFailed = false;
};

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// "HTTP/1.1 200 OK", "HTTP/2 302", "ICY 200 OK": the three digits after the
// first space, or 0.
int ParseStatusLine(const std::string& line) {
  const auto space = line.find(' ');
  if (space == std::string::npos || space + 3 >= line.size()) return 0;
  int status = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

bool IsFollowedRedirect(const THeaderState& h) {
  if (!h.Follow || !h.HasLocation) return false;
  return h.Status == 301 || h.Status == 302 || h.Status == 303 || h.Status == 307 || h.Status == 308;
}

// Takes one header line; true when it ends the headers of the final reply
// (the one that is not followed and not informational).
bool TakeHeaderLine(THeaderState& h, const std::string& line) {
  if (StartsWithNoCase(line, "http/") || StartsWithNoCase(line, "icy ")) {
    h.Status = ParseStatusLine(line);
    h.ContentType.clear();
    h.HasLocation = false;
  } else if (StartsWithNoCase(line, "content-type:")) {
    h.ContentType = Trim(line.substr(13));
  } else if (StartsWithNoCase(line, "location:")) {
    h.HasLocation = !Trim(line.substr(9)).empty();
  } else if (Trim(line).empty()) {
    // End of one reply's headers. Informational replies and redirects
    // that libcurl is about to follow are not the answer.
    if (h.Status >= 100 && h.Status < 200) return false;
    if (IsFollowedRedirect(h)) return false;
    h.FinalHeadersDone = true;
    return true;
  }
  return false;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto& t = *static_cast<TTransfer*>(user);
  const size_t bytes = size * count;
  try {
    if (TakeHeaderLine(t.Headers, std::string(data, bytes))) {
      t.Response->Status = t.Headers.Status;
      t.Response->ContentType = t.Headers.ContentType;
      if (t.Request->MaxBodyBytes == 0) {
        t.StoppedAfterHeaders = true;
        return 0;  // aborts the transfer: nothing more is wanted
      }
    }
    return bytes;
  } catch (...) {
    t.CallbackFailed = true;
    return 0;
  }
}

size_t OnBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto& t = *static_cast<TTransfer*>(user);
  const size_t bytes = size * count;
  try {
    std::string& body = t.Response->Body;
    const size_t room = t.Request->MaxBodyBytes - std::min(body.size(), t.Request->MaxBodyBytes);
    if (bytes > room) {
      body.append(data, room);
      t.Response->Truncated = true;
      t.StoppedAtBound = true;
      return 0;  // aborts the transfer at the bound
    }
    body.append(data, bytes);
    return bytes;
  } catch (...) {
    t.CallbackFailed = true;
    return 0;
  }
}

void GlobalInitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What every GET sets alike, for a lookup and a download: the address and
// agent, redirects within http and https only, and the time-outs. Time-outs
// are polled, not signalled by SIGALRM: a request may run on any thread.
template <typename Request>
void SetGetOptions(CURL* h, const Request& request) {
  curl_easy_setopt(h, CURLOPT_URL, request.Url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  if (!request.UserAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, request.UserAgent.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.FollowRedirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.ConnectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.TotalTimeout.count()));
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
}

// Polled by libcurl about once a second and whenever data moves: a lookup
// whose answer nobody waits for any more (the program is ending) gives up.
int OnLookupProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

THttpResponse Perform(const THttpRequest& request) {
  THttpResponse response;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    response.Error = "curl_easy_init failed";
    return response;
  }
  TTransfer transfer;
  transfer.Request = &request;
  transfer.Response = &response;
  transfer.Headers.Follow = request.FollowRedirects;
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  SetGetOptions(h, request);
  if (request.Cancel != nullptr) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnLookupProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, request.Cancel);
  } else {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  }
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

  const CURLcode rc = curl_easy_perform(h);
  const bool stoppedByUs = rc == CURLE_WRITE_ERROR && !transfer.CallbackFailed &&
                           (transfer.StoppedAfterHeaders || transfer.StoppedAtBound);
  response.Success = (rc == CURLE_OK || stoppedByUs) && transfer.Headers.FinalHeadersDone;
  if (!transfer.Headers.FinalHeadersDone) response.Status = 0;
  if (!response.Success) {
    response.Error = curl_easy_strerror(rc);
    if (errorText[0] != '\0') response.Error += std::string(": ") + errorText;
    if (rc == CURLE_OK) response.Error = "no complete reply";
  }
  return response;
}

// ---------------------------------------------------------------- download

struct TDownload {
  const THttpDownloadRequest* Request = nullptr;
  THttpDownloadResponse* Response = nullptr;
  std::FILE* File = nullptr;
  THeaderState Headers;
  bool WriteFailed = false;
  bool CallbackFailed = false;
};

size_t OnDownloadHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto& d = *static_cast<TDownload*>(user);
  const size_t bytes = size * count;
  try {
    if (TakeHeaderLine(d.Headers, std::string(data, bytes))) {
      d.Response->Status = d.Headers.Status;
      d.Response->ContentType = d.Headers.ContentType;
    }
    return bytes;
  } catch (...) {
    d.CallbackFailed = true;
    return 0;
  }
}

size_t OnDownloadBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto& d = *static_cast<TDownload*>(user);
  const size_t bytes = size * count;
  // Only the final reply's body belongs in the file.
  if (!d.Headers.FinalHeadersDone) return bytes;
  if (d.Response->Bytes + bytes > d.Request->MaxBytes) {
    d.Response->TooLarge = true;
    return 0;  // aborts the transfer at the bound
  }
  if (std::fwrite(data, 1, bytes, d.File) != bytes) {
    d.WriteFailed = true;
    return 0;
  }
  d.Response->Bytes += bytes;
  return bytes;
}

// Polled by libcurl about once a second and whenever data moves.
int OnDownloadProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
  const auto& d = *static_cast<TDownload*>(user);
  return d.Request->Cancel != nullptr && d.Request->Cancel->load() ? 1 : 0;
}

THttpDownloadResponse PerformDownload(const THttpDownloadRequest& request, const std::string& path) {
  THttpDownloadResponse response;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    response.Error = "curl_easy_init failed";
    return response;
  }
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) {
    response.Error = "cannot write " + path + ": " + std::strerror(errno);
    return response;
  }
  TDownload download;
  download.Request = &request;
  download.Response = &response;
  download.File = file.get();
  download.Headers.Follow = request.FollowRedirects;
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  SetGetOptions(h, request);
  // A body that Content-Length already shows to be too long is refused
  // before any of it is read.
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.MaxBytes));
  // libcurl counts stalls in whole seconds: less than one byte a second over
  // the stall time-out ends the transfer.
  const long stallSeconds = std::max<long>(1, static_cast<long>((request.StallTimeout.count() + 999) / 1000));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnDownloadProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &download);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnDownloadHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &download);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnDownloadBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &download);

  const CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_FILESIZE_EXCEEDED) response.TooLarge = true;
  const bool flushed = std::fflush(file.get()) == 0 && !std::ferror(file.get());
  response.Success = rc == CURLE_OK && download.Headers.FinalHeadersDone && flushed && !download.WriteFailed;
  if (!download.Headers.FinalHeadersDone) response.Status = 0;
  if (!response.Success) {
    if (response.TooLarge) {
      response.Error = "the body is longer than " + std::to_string(request.MaxBytes) + " bytes";
    } else if (download.WriteFailed || !flushed) {
      response.Error = "cannot write " + path + ": " + std::strerror(errno);
    } else if (rc == CURLE_ABORTED_BY_CALLBACK) {
      response.Error = "cancelled";
    } else if (rc == CURLE_OK) {
      response.Error = "no complete reply";
    } else {
      response.Error = curl_easy_strerror(rc);
      if (errorText[0] != '\0') response.Error += std::string(": ") + errorText;
    }
  }
  return response;
}

}  // namespace

TCurlHttpClient::TCurlHttpClient() {
  GlobalInitOnce();
}

THttpResponse TCurlHttpClient::Get(const THttpRequest& request) {
  try {
    GlobalInitOnce();
    THttpResponse response = Perform(request);
    const bool cancelled = request.Cancel != nullptr && request.Cancel->load();
    if (!response.Success && !cancelled) {
      std::fprintf(stderr, "wavecrate: GET %s failed: %s\n", request.Url.c_str(), response.Error.c_str());
    }
    return response;
  } catch (const std::exception& e) {
    THttpResponse response;
    response.Error = e.what();
    return response;
  } catch (...) {
    THttpResponse response;
    response.Error = "unknown failure";
    return response;
  }
}

THttpDownloadResponse TCurlHttpClient::Download(const THttpDownloadRequest& request,
                                                const std::string& path) {
  try {
    GlobalInitOnce();
    THttpDownloadResponse response = PerformDownload(request, path);
    if (!response.Success) {
      std::fprintf(stderr, "wavecrate: download of %s failed: %s\n", request.Url.c_str(),
                   response.Error.c_str());
    }
    return response;
  } catch (const std::exception& e) {
    THttpDownloadResponse response;
    response.Error = e.what();
    return response;
  } catch (...) {
    THttpDownloadResponse response;
    response.Error = "unknown failure";
    return response;
  }
}

}  // namespace wavecrate
