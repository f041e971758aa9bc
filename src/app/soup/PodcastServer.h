// The HTTP side of the podcast share: libsoup's server answering what
// app/PodcastFeed.h decides, on a GLib main loop of a thread of its own at a
// low priority. Whatever the listeners ask for (and the disk reads of their
// episodes) then waits behind the recordings, and never holds up the thread
// that starts the server (the program's, which Qt runs).
//
// Connections are accepted here rather than by libsoup, so that their
// number is bounded and each socket gets an idle limit before libsoup sees
// it. At the limit the server stops accepting, and the connections that come
// meanwhile wait in the system's listen queue until one closes: a podcast
// app that asks for many ranges at once is slowed, not refused. One that
// sends or takes nothing for the idle time is closed, and one that takes
// longer than the header time to send its request headers (a byte now and
// then) too. A body is read from its file one block at a time as the client
// takes it, so a slow reader holds one block, not the file.
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
  // Each connection holds at most one 64 KiB block of its body, the episode
  // file it reads and libsoup's few KiB of headers: 64 of them bound the
  // share to about 4 MiB and 128 descriptors, however many clients call.
  unsigned MaxConnections = 64;
  unsigned IdleSeconds = 30;
  unsigned HeaderSeconds = 15;
};

class TPodcastServer {
 public:
  explicit TPodcastServer(TPodcastServerOptions options);
  ~TPodcastServer();
  TPodcastServer(const TPodcastServer&) = delete;
  TPodcastServer& operator=(const TPodcastServer&) = delete;

  // Starts the server's thread and returns once it listens. False (and
  // `error` says why) when the port cannot be had; no thread is left then.
  bool Start(std::string* error);
  // Stops listening, closes every connection and ends the thread.
  void Stop();
  bool Running() const;
  // The port listened on (the one chosen when the options said 0).
  std::uint16_t Port() const;
  // A new token: addresses with the old one are not found from now on
  // (once this returns). From any thread.
  void SetToken(const std::string& token);
  // Connections open now. From any thread.
  unsigned Connections() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

// The machine's IPv4 addresses other than loopback, for the addresses a
// phone on the same network can use.
std::vector<std::string> LanAddresses();

}  // namespace wavecrate
