#include "audio/RecordingFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <span>
#include <vector>

#include "audio/RiffHeader.h"

namespace wavecrate {

namespace {

std::atomic<TRecordingFileType> gFileTypeChoice{TRecordingFileType::Wave};

constexpr std::uint32_t kXingFramesFlag = 1;
constexpr std::uint32_t kXingBytesFlag = 2;

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::uint64_t FileSize(std::ifstream& in) {
  in.clear();
  in.seekg(0, std::ios::end);
  const auto end = static_cast<std::streamoff>(in.tellg());
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

// Reads up to `count` bytes at `offset`; fewer at the end of the file.
std::vector<std::uint8_t> ReadAt(std::ifstream& in, std::uint64_t offset, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

// Bytes of the ID3v2 tag at the file's start (header, body and footer); 0
// when there is none.
std::uint64_t Id3v2Bytes(const std::vector<std::uint8_t>& head) {
  if (head.size() < 10 || head[0] != 'I' || head[1] != 'D' || head[2] != '3') return 0;
  std::uint64_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (head[static_cast<std::size_t>(i)] & 0x7F);
  const bool footer = (head[5] & 0x10) != 0;
  return 10 + size + (footer ? 10 : 0);
}

// Where "Xing" or "Info" sits in a layer III frame: after the header and the
// side information, whose length depends on version and channels.
std::size_t XingOffset(const TMpegFrameInfo& info) {
  if (info.Version == 1) return 4 + (info.Channels == 1 ? 17 : 32);
  return 4 + (info.Channels == 1 ? 9 : 17);
}

}  // namespace

const char* RecordingFileTypeKey(TRecordingFileType type) {
  return type == TRecordingFileType::Tagged ? "tagged" : "wave";
}

TRecordingFileType ParseRecordingFileType(std::string_view key) {
  return key == "tagged" ? TRecordingFileType::Tagged : TRecordingFileType::Wave;
}

TRecordingFileType RecordingFileTypeChoice() {
  return gFileTypeChoice.load();
}

void SetRecordingFileTypeChoice(TRecordingFileType type) {
  gFileTypeChoice.store(type);
}

TRecordingTags MakeRecordingTags(const std::string& show, const std::string& station, const std::string& link,
                                 const TLocalTime& showDate, const TLocalTime& start) {
  char date[16];
  std::snprintf(date, sizeof date, "%02d-%02d-%04d", showDate.Month % 100, showDate.Day % 100,
                showDate.Year % 10000);
  TRecordingTags tags;
  tags.Title = show.empty() ? std::string(date) : show + " " + date;
  tags.Artist = station;
  tags.Album = show;
  tags.Comment = link;
  tags.Recorded = start;
  tags.HasRecorded = true;
  return tags;
}

std::string TaggedCopyPath(const std::string& path) {
  constexpr std::string_view kMp3 = ".mp3";
  const bool mp3 =
      path.size() >= kMp3.size() && path.compare(path.size() - kMp3.size(), kMp3.size(), kMp3) == 0;
  return (mp3 ? path.substr(0, path.size() - kMp3.size()) : path) + " (tagged).mp3";
}

std::optional<TMpegStream> LocateMpegStream(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::uint64_t size = FileSize(in);
  const std::vector<std::uint8_t> head = ReadAt(in, 0, 64);
  if (head.size() >= 22 && std::equal(head.begin(), head.begin() + 4, "RIFF") &&
      std::equal(head.begin() + 8, head.begin() + 16, "WAVEfmt ")) {
    const std::uint64_t format = Le32(head.data() + 16);
    // Only MP3 data: a WAVE file of samples holds no frames to copy.
    if (format < 2 || (head[20] | (head[21] << 8)) != kWaveFormatMpegLayer3) return std::nullopt;
    const std::vector<std::uint8_t> data = ReadAt(in, 20 + format, 8);
    if (data.size() < 8 || !std::equal(data.begin(), data.begin() + 4, "data")) return std::nullopt;
    TMpegStream stream{TRecordingFileType::Wave, 28 + format, 0};
    const std::uint32_t declared = Le32(data.data() + 4);
    // The provisional size ("to the end"), or one the file never reached.
    stream.End =
        (declared == kRiffOpenEndedSize || stream.Begin + declared > size) ? size : stream.Begin + declared;
    if (stream.Begin > size) return std::nullopt;
    return stream;
  }
  const std::uint64_t tag = Id3v2Bytes(head);
  if (tag == 0 || tag >= size) return std::nullopt;
  const std::vector<std::uint8_t> first = ReadAt(in, tag, 4);
  if (!ParseMpegFrameHeader(first)) return std::nullopt;
  return TMpegStream{TRecordingFileType::Tagged, tag, size};
}

namespace {

// A frame that carries a Xing or Info header in place of sound.
bool IsXingFrame(std::span<const std::uint8_t> frame, const TMpegFrameInfo& info) {
  const std::size_t at = XingOffset(info);
  if (info.Layer != 3 || frame.size() < at + 4) return false;
  const auto tag = frame.subspan(at, 4);
  return std::equal(tag.begin(), tag.end(), "Xing") || std::equal(tag.begin(), tag.end(), "Info");
}

}  // namespace

std::optional<TMpegCount> CountMpegFrames(const std::string& path) {
  const std::optional<TMpegStream> stream = LocateMpegStream(path);
  if (!stream) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::uint64_t size = FileSize(in);
  constexpr std::size_t kBlock = 1 << 20;
  TMpegCount count;
  bool first = true;
  std::uint64_t pos = stream->Begin;
  while (pos + 4 <= size) {
    const std::vector<std::uint8_t> block = ReadAt(in, pos, kBlock);
    const std::span<const std::uint8_t> bytes(block);
    const bool reachesEnd = pos + block.size() >= size;
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
      const auto info = ParseMpegFrameHeader(bytes.subspan(at, 4));
      if (info && info->FrameBytes >= 4 && info->SampleRate > 0) {
        const std::size_t end = at + info->FrameBytes;
        // A frame and the header after it are read in one block.
        if (end + 4 > bytes.size() && !reachesEnd) break;
        // Four bytes that only look like a header are rarely followed by
        // another one exactly where their frame would end.
        const bool followed = end + 4 <= bytes.size()
                                  ? ParseMpegFrameHeader(bytes.subspan(end, 4)).has_value()
                                  : end <= bytes.size();
        if (followed) {
          if (!first || !IsXingFrame(bytes.subspan(at, info->FrameBytes), *info)) {
            ++count.Frames;
            count.Seconds += static_cast<double>(info->SamplesPerFrame) / info->SampleRate;
          }
          first = false;
          at = end;
          continue;
        }
      }
      ++at;
    }
    if (reachesEnd) break;
    pos += std::max<std::size_t>(at, 1);
  }
  return count;
}

double TXingCounts::Seconds() const {
  if (sampleRate_ == 0) return 0;
  return static_cast<double>(frames_) * samplesPerFrame_ / sampleRate_;
}

bool TXingCounts::FindXing() {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return false;
  const std::vector<std::uint8_t> head = ReadAt(in, 0, 10);
  const std::uint64_t at = Id3v2Bytes(head);
  if (at == 0) return false;
  const std::vector<std::uint8_t> frame = ReadAt(in, at, 64);
  const std::optional<TMpegFrameInfo> info = ParseMpegFrameHeader(frame);
  if (!info || info->Layer != 3) return false;
  const std::size_t tag = XingOffset(*info);
  // The counts' fields must fit inside the frame.
  if (frame.size() < tag + 16 || info->FrameBytes < tag + 16) return false;
  if (!std::equal(frame.begin() + static_cast<std::ptrdiff_t>(tag),
                  frame.begin() + static_cast<std::ptrdiff_t>(tag) + 4, "Xing") &&
      !std::equal(frame.begin() + static_cast<std::ptrdiff_t>(tag),
                  frame.begin() + static_cast<std::ptrdiff_t>(tag) + 4, "Info")) {
    return false;
  }
  xingAt_ = at;
  fieldsAt_ = at + tag + 4;
  next_ = at + info->FrameBytes;
  frames_ = 1;  // the Xing frame itself, as its writer counts
  samplesPerFrame_ = info->SamplesPerFrame;
  sampleRate_ = info->SampleRate;
  return true;
}

double TXingCounts::FrameSeconds() const {
  return sampleRate_ == 0 ? 0 : static_cast<double>(samplesPerFrame_) / sampleRate_;
}

bool TXingCounts::Count() {
  if (xingAt_ == 0 && !FindXing()) return false;
  {
    // Whole frames only: the last one may still be on its way to the disk.
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    constexpr std::size_t kBlock = 1 << 20;
    for (;;) {
      const std::vector<std::uint8_t> block = ReadAt(in, next_, kBlock);
      std::size_t at = 0;
      while (at + 4 <= block.size()) {
        const auto info = ParseMpegFrameHeader(std::span(block).subspan(at, 4));
        if (!info || info->FrameBytes == 0 || at + info->FrameBytes > block.size()) break;
        at += info->FrameBytes;
        ++frames_;
      }
      next_ += at;
      // A block that ended inside a frame is read again from that frame;
      // anything else (the end of the file, bytes that are no frame) ends
      // the count.
      if (block.size() < kBlock || at == 0) break;
    }
  }
  return true;
}

bool TXingCounts::Update() {
  if (!Count()) return false;
  std::fstream out(path_, std::ios::in | std::ios::out | std::ios::binary);
  if (!out) return false;
  std::array<std::uint8_t, 4> flagBytes{};
  out.seekg(static_cast<std::streamoff>(fieldsAt_));
  if (!out.read(reinterpret_cast<char*>(flagBytes.data()), 4)) return false;
  // Only the two counts are claimed; a seek table the writer may add later
  // keeps its own flag.
  const std::uint32_t flags = Be32(flagBytes.data()) | kXingFramesFlag | kXingBytesFlag;
  const auto bytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(Bytes(), 0xFFFFFFFFu));
  std::array<std::uint8_t, 12> fields{};
  const std::uint32_t values[3] = {flags, frames_, bytes};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t b = 0; b < 4; ++b)
      fields[i * 4 + b] = static_cast<std::uint8_t>(values[i] >> (24 - 8 * b));
  }
  out.seekp(static_cast<std::streamoff>(fieldsAt_));
  out.write(reinterpret_cast<const char*>(fields.data()), fields.size());
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace wavecrate
