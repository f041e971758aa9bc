// The podcast share's reads of the system: random bytes for its token, and
// an episode's file opened and read at offsets.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "app/PodcastFeed.h"

namespace wavecrate {

namespace {

constexpr std::size_t kTokenBytes = 16;

}  // namespace

std::string NewPodcastToken() {
  std::uint8_t bytes[kTokenBytes];
  std::size_t got = 0;
  while (got < kTokenBytes) {
    const ssize_t n = getrandom(bytes + got, kTokenBytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random bytes for the podcast address");
    got += static_cast<std::size_t>(n);
  }
  return HexDigits(bytes, kTokenBytes);
}

TEpisodeReader::TEpisodeReader(const TPodcastEpisode& episode) : tag_(episode.Tag), stream_(episode.Stream) {
  fd_ = ::open(episode.Record.Report.File.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

TEpisodeReader::~TEpisodeReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::uint8_t> TEpisodeReader::Read(std::uint64_t offset, std::size_t count) const {
  std::vector<std::uint8_t> bytes;
  const std::uint64_t size = tag_.size() + (stream_.End - stream_.Begin);
  if (offset >= size || fd_ < 0) return bytes;
  count = static_cast<std::size_t>(std::min<std::uint64_t>(count, size - offset));
  bytes.reserve(count);
  if (offset < tag_.size()) {
    const std::size_t fromTag = std::min<std::size_t>(count, tag_.size() - static_cast<std::size_t>(offset));
    bytes.insert(bytes.end(), tag_.begin() + static_cast<std::ptrdiff_t>(offset),
                 tag_.begin() + static_cast<std::ptrdiff_t>(offset + fromTag));
    offset += fromTag;
    count -= fromTag;
  }
  std::uint64_t at = stream_.Begin + (offset - tag_.size());
  const std::size_t before = bytes.size();
  bytes.resize(before + count);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::pread(fd_, bytes.data() + before + got, count - got, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  bytes.resize(before + got);
  return bytes;
}

}  // namespace wavecrate
