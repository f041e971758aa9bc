#include "support/playback_http_server.h"

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace wavecrate::test {

TPlaybackHttpServer::TPlaybackHttpServer(const std::string& root)
    : routesPath_(dir_.File("routes.json")), logPath_(dir_.File("requests.log")) {
  SetRoutes("[]");
  WriteFile(logPath_, "");
  std::vector<std::string> argv = {
      PlaybackPython(), std::string(WAVECRATE_SOURCE_DIR) + "/tests/support/playback_http_server.py",
      "--routes",       routesPath_,
      "--log",          logPath_};
  if (!root.empty()) {
    argv.push_back("--root");
    argv.push_back(root);
  }
  process_ = std::make_unique<TPlaybackProcess>(argv, dir_.File("server.err"), true);
  const std::string line = process_->ReadLine(15000);
  port_ = line.empty() ? 0 : std::stoi(line);
  if (port_ <= 0) {
    throw std::runtime_error("the loopback HTTP server did not start: " + ReadFile(dir_.File("server.err")));
  }
}

TPlaybackHttpServer::~TPlaybackHttpServer() {
  process_->Stop();
}

std::string TPlaybackHttpServer::Base() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void TPlaybackHttpServer::SetRoutes(const std::string& routesJsonArray) {
  // Written aside and renamed, so the server never reads half a file.
  const std::string temp = routesPath_ + ".new";
  WriteFile(temp, "{\"routes\": " + routesJsonArray + "}\n");
  std::filesystem::rename(temp, routesPath_);
}

std::vector<TRecordedRequest> TPlaybackHttpServer::Requests() const {
  std::vector<TRecordedRequest> requests;
  std::istringstream log(ReadFile(logPath_));
  std::string line;
  while (std::getline(log, line)) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    while (true) {
      const auto tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() < 2) continue;
    TRecordedRequest r;
    r.Method = fields[0];
    r.Target = fields[1];
    const auto question = r.Target.find('?');
    r.Path = r.Target.substr(0, question);
    if (question != std::string::npos) r.Query = r.Target.substr(question + 1);
    for (std::size_t i = 2; i < fields.size(); ++i) {
      const auto colon = fields[i].find(": ");
      if (colon == std::string::npos) continue;
      std::string name = fields[i].substr(0, colon);
      r.HeaderNames.push_back(name);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.Header[name] = fields[i].substr(colon + 2);
    }
    requests.push_back(std::move(r));
  }
  return requests;
}

void TPlaybackHttpServer::ClearRequests() {
  WriteFile(logPath_, "");
}

}  // namespace wavecrate::test
