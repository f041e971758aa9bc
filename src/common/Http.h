// The program's HTTP requests, whoever makes them: the window's lookups on
// the vendor's host and of stream links, and the advertisement download.
// Callers build requests and judge replies; an IHttpClient carries them out
// (libcurl in common/curl, the tests' loopback servers alike).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace wavecrate {

// One GET request. No request headers besides the agent are ever sent.
struct THttpRequest {
  std::string Url;
  std::string UserAgent;
  // Follow 3xx replies to their Location (true), or judge the address's own
  // reply (false).
  bool FollowRedirects = true;
  // The body is read up to this many bytes; a longer one is cut there and
  // marked Truncated. Zero reads the headers only and never waits for a body
  // (so a probe of an endless stream returns as soon as its headers are in).
  std::size_t MaxBodyBytes = 64 * 1024;
  std::chrono::milliseconds ConnectTimeout{3000};
  std::chrono::milliseconds TotalTimeout{8000};
  // Polled during the transfer (may be null); raising it ends the request
  // as a failure.
  const std::atomic<bool>* Cancel = nullptr;
};

struct THttpResponse {
  // True when a final reply arrived: its status line, its headers, and its
  // body as far as MaxBodyBytes allowed. False for every transport failure
  // (bad address, refused, time-out, reset), where Status may still be 0.
  bool Success = false;
  int Status = 0;           // of the last reply (after redirects when followed)
  std::string ContentType;  // the last reply's Content-Type value, "" when absent
  std::string Body;         // at most MaxBodyBytes bytes
  bool Truncated = false;   // the body was longer than MaxBodyBytes
  std::string Error;        // what went wrong, for the log
};

// One GET whose body goes into a file as it arrives (a media file is too large
// to hold in memory the way THttpRequest's bodies are).
struct THttpDownloadRequest {
  std::string Url;
  std::string UserAgent;
  bool FollowRedirects = true;
  // A body longer than this is not read to its end: the transfer stops as soon
  // as it is known to be longer (at once when Content-Length says so).
  std::uint64_t MaxBytes = 20u * 1024 * 1024;
  std::chrono::milliseconds ConnectTimeout{5000};
  std::chrono::milliseconds TotalTimeout{120000};
  // A transfer that delivers no byte for this long is given up.
  std::chrono::milliseconds StallTimeout{15000};
  // Polled during the transfer (may be null); raising it ends the download.
  const std::atomic<bool>* Cancel = nullptr;
};

struct THttpDownloadResponse {
  // True when a final reply arrived whole: its status line, its headers and
  // its complete body, all of which is in the file. False for every transport
  // failure, a body cut short, one over MaxBytes, a cancel or a file that
  // could not be written; the file then holds whatever had arrived.
  bool Success = false;
  int Status = 0;           // of the last reply (after redirects when followed)
  std::string ContentType;  // the last reply's Content-Type value, "" when absent
  std::uint64_t Bytes = 0;  // body bytes written to the file
  bool TooLarge = false;    // the body was longer than MaxBytes
  std::string Error;        // what went wrong, for the log
};

class IHttpClient {
 public:
  virtual ~IHttpClient() = default;
  // Synchronous; must never throw.
  virtual THttpResponse Get(const THttpRequest& request) = 0;
  // Synchronous; must never throw. Creates or empties `path` and writes the
  // body of the final reply into it, whatever its status. A client that
  // cannot download into files answers with a failure.
  virtual THttpDownloadResponse Download(const THttpDownloadRequest& request, const std::string& path) {
    (void)path;
    THttpDownloadResponse response;
    response.Error = "this client cannot download " + request.Url + " into a file";
    return response;
  }
};

// The running program's file name without its folder ("wavecrate"), the agent
// of the requests that name the program; "" when unknown.
std::string ProgramFileName();

}  // namespace wavecrate
