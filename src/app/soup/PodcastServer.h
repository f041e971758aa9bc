// The HTTP side of the podcast share: libsoup's server on the GLib main loop
// of the thread that starts it (the program's, which Qt runs), answering what
// app/PodcastFeed.h decides.
//
// Connections are accepted here rather than by libsoup, so that their
// number is bounded and each socket gets an idle limit before libsoup sees
// it: a connection over the limit is closed at once, one that sends or takes
// nothing for the idle time is closed, and one that takes longer than the
// header time to send its request headers (a byte now and then) too. A body
// is read from its file one block at a time as the client takes it, so a
// slow reader holds one block, not the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wavecrate {

constexpr std::uint16_t kDefaultPodcastPort = 41808;

struct TPodcastServerOptions {
  std::string HistoryPath;
  std::string Token;
  std::uint16_t Port = kDefaultPodcastPort;  // 0: any free port
  // Only 127.0.0.1 (the tests); otherwise every address of the machine.
  bool LoopbackOnly = false;
  unsigned MaxConnections = 32;
  unsigned IdleSeconds = 30;
  unsigned HeaderSeconds = 15;
};

class TPodcastServer {
 public:
  explicit TPodcastServer(TPodcastServerOptions options);
  ~TPodcastServer();
  TPodcastServer(const TPodcastServer&) = delete;
  TPodcastServer& operator=(const TPodcastServer&) = delete;

  // Listens. False (and `error` says why) when the port cannot be had.
  bool Start(std::string* error);
  // Stops listening and closes every connection.
  void Stop();
  bool Running() const;
  // The port listened on (the one chosen when the options said 0).
  std::uint16_t Port() const;
  // A new token: addresses with the old one are not found from now on.
  void SetToken(const std::string& token);
  // Connections open now.
  unsigned Connections() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

// The machine's IPv4 addresses other than loopback, for the addresses a
// phone on the same network can use.
std::vector<std::string> LanAddresses();

}  // namespace wavecrate
