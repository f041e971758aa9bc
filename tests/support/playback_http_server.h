// The playback tests' own loopback web server (playback_http_server.py),
// started on a free port of 127.0.0.1 and stopped again by its PID.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/playback_process.h"

namespace wavecrate::test {

// One request as the server received it.
struct TRecordedRequest {
  std::string Method;
  std::string Target;                         // path and query, exactly as sent
  std::string Path;                           // before "?"
  std::string Query;                          // after "?", "" when none
  std::vector<std::string> HeaderNames;       // in the order sent
  std::map<std::string, std::string> Header;  // by lower-case name
};

class TPlaybackHttpServer {
 public:
  // root: folder that requests no route answers are served from ("" for none).
  explicit TPlaybackHttpServer(const std::string& root = "");
  ~TPlaybackHttpServer();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string Base() const;
  // Replaces the routes: a JSON array of route objects (see the script).
  void SetRoutes(const std::string& routesJsonArray);
  std::vector<TRecordedRequest> Requests() const;
  void ClearRequests();

 private:
  TempDir dir_;
  std::string routesPath_;
  std::string logPath_;
  std::unique_ptr<TPlaybackProcess> process_;
  int port_ = 0;
};

}  // namespace wavecrate::test
