#include "support/playback_icecast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace wavecrate::test {

namespace {
constexpr const char* kPassword = "wavecrate-test";
}

int PlaybackHttpStatus(int port, const std::string& path) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char reply[64] = {};
      const ssize_t n = recv(fd, reply, sizeof reply - 1, 0);
      const std::string line(reply, n > 0 ? static_cast<std::size_t>(n) : 0);
      const auto space = line.find(' ');
      if (space != std::string::npos && line.size() >= space + 4)
        status = std::atoi(line.substr(space + 1, 3).c_str());
    }
  }
  close(fd);
  return status;
}

TPlaybackIcecast::TPlaybackIcecast(int toneHz, const std::string& mount, double amplitude, int kbps)
    : mount_(mount), toneHz_(toneHz), amplitude_(amplitude), kbps_(kbps) {
  port_ = PlaybackFreePort();
  // Icecast drops root for its own user, which must still reach its logs:
  // they go to a folder of their own right in /tmp, as the test folders
  // are closed to other users.
  std::string pattern = "/tmp/wavecrate-icecast-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  logDir_ = pattern;
  const std::string logDir = logDir_;
  std::string security = "<chroot>0</chroot>";
  if (geteuid() == 0) {
    if (const passwd* user = getpwnam("icecast2")) {
      if (chown(logDir.c_str(), user->pw_uid, user->pw_gid) != 0) throw std::runtime_error("chown failed");
      security += "<changeowner><user>icecast2</user><group>icecast</group></changeowner>";
    }
  }
  const std::string config = dir_.File("icecast.xml");
  WriteFile(config,
            "<icecast><limits><sources>4</sources></limits>"
            "<authentication><source-password>" +
                std::string(kPassword) + "</source-password><admin-user>admin</admin-user><admin-password>" +
                kPassword +
                "</admin-password></authentication><hostname>127.0.0.1</hostname>"
                "<listen-socket><port>" +
                std::to_string(port_) +
                "</port><bind-address>127.0.0.1</bind-address></listen-socket>"
                "<paths><basedir>/usr/share/icecast2</basedir><logdir>" +
                logDir +
                "</logdir><webroot>/usr/share/icecast2/web</webroot>"
                "<adminroot>/usr/share/icecast2/admin</adminroot></paths>"
                "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
                "<loglevel>2</loglevel></logging><security>" +
                security + "</security></icecast>\n");
  server_ = std::make_unique<TPlaybackProcess>(std::vector<std::string>{"icecast2", "-c", config},
                                               dir_.File("icecast.out"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (PlaybackHttpStatus(port_, "/") == 0) {
    if (std::chrono::steady_clock::now() > deadline || !server_->Running()) {
      throw std::runtime_error("Icecast did not start: " + ReadFile(dir_.File("icecast.out")) +
                               ReadFile(logDir + "/error.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  StartSource();
}

void TPlaybackIcecast::StopSource() {
  source_.reset();
}

void TPlaybackIcecast::StartSource() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // ffmpeg's sine peaks at 1/8 of full scale.
  const std::string tone = "sine=frequency=" + std::to_string(toneHz_) + ":sample_rate=44100";
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                   "-re",    "-f",       "lavfi",        "-i",        tone};
  if (amplitude_ > 0) {
    args.insert(args.end(), {"-af", "pan=stereo|c0=c0|c1=c0,volume=" + std::to_string(amplitude_ * 8)});
  }
  args.insert(args.end(), {"-ac", "2", "-c:a", "libmp3lame", "-b:a", std::to_string(kbps_) + "k",
                           "-content_type", "audio/mpeg", "-f", "mp3",
                           "icecast://source:" + std::string(kPassword) +
                               "@127.0.0.1:" + std::to_string(port_) + mount_});
  source_ = std::make_unique<TPlaybackProcess>(args, dir_.File("ffmpeg.log"));
  while (PlaybackHttpStatus(port_, mount_) != 200) {
    if (std::chrono::steady_clock::now() > deadline || !source_->Running()) {
      throw std::runtime_error("the Icecast mount did not come up: " + ReadFile(dir_.File("ffmpeg.log")) +
                               ReadFile(logDir_ + "/error.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TPlaybackIcecast::~TPlaybackIcecast() {
  source_.reset();
  server_.reset();
  std::error_code error;
  std::filesystem::remove_all(logDir_, error);
}

std::string TPlaybackIcecast::StreamUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + mount_;
}

}  // namespace wavecrate::test
