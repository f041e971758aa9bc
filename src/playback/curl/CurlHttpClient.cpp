#include "playback/curl/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace wavecrate {

namespace {

// What the callbacks gather during one transfer. libcurl calls them on the
// thread that runs curl_easy_perform, i.e. the caller's.
struct TTransfer {
  const THttpRequest* Request = nullptr;
  THttpResponse* Response = nullptr;
  // The reply whose headers are arriving.
  int Status = 0;
  std::string ContentType;
  bool HasLocation = false;
  // Set once the headers of the reply that will not be followed are in.
  bool FinalHeadersDone = false;
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

bool IsFollowedRedirect(const TTransfer& t) {
  if (!t.Request->FollowRedirects || !t.HasLocation) return false;
  return t.Status == 301 || t.Status == 302 || t.Status == 303 || t.Status == 307 || t.Status == 308;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto& t = *static_cast<TTransfer*>(user);
  const size_t bytes = size * count;
  try {
    const std::string line(data, bytes);
    if (StartsWithNoCase(line, "http/") || StartsWithNoCase(line, "icy ")) {
      t.Status = ParseStatusLine(line);
      t.ContentType.clear();
      t.HasLocation = false;
    } else if (StartsWithNoCase(line, "content-type:")) {
      t.ContentType = Trim(line.substr(13));
    } else if (StartsWithNoCase(line, "location:")) {
      t.HasLocation = !Trim(line.substr(9)).empty();
    } else if (Trim(line).empty()) {
      // End of one reply's headers. Informational replies and redirects
      // that libcurl is about to follow are not the answer.
      if (t.Status >= 100 && t.Status < 200) return bytes;
      if (IsFollowedRedirect(t)) return bytes;
      t.FinalHeadersDone = true;
      t.Response->Status = t.Status;
      t.Response->ContentType = t.ContentType;
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
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, request.Url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  if (!request.UserAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, request.UserAgent.c_str());
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.FollowRedirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.ConnectTimeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.TotalTimeout.count()));
  // Time-outs by polling, not by SIGALRM: this may run on any thread.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);

  const CURLcode rc = curl_easy_perform(h);
  const bool stoppedByUs = rc == CURLE_WRITE_ERROR && !transfer.CallbackFailed &&
                           (transfer.StoppedAfterHeaders || transfer.StoppedAtBound);
  response.Success = (rc == CURLE_OK || stoppedByUs) && transfer.FinalHeadersDone;
  if (!transfer.FinalHeadersDone) response.Status = 0;
  if (!response.Success) {
    response.Error = curl_easy_strerror(rc);
    if (errorText[0] != '\0') response.Error += std::string(": ") + errorText;
    if (rc == CURLE_OK) response.Error = "no complete reply";
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
    if (!response.Success) {
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

}  // namespace wavecrate
