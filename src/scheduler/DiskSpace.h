// Whether the save folder's disk can hold a recording before it starts. Too
// little room does not stop the recording (the show may be shorter than
// planned, or room may be made in time); the user is told.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "audio/EncoderSettings.h"

namespace wavecrate {

// The highest rate the encoder can write at: the set bitrate for CBR and
// ABR; for VBR the top of the MPEG layer III rates (320 kbit/s, 160 below a
// 32 kHz output rate), since a VBR stream may stay there for a whole show.
int WorstCaseKbps(const TEncoderSettings& encoder);

// Bytes a recording of `seconds` may take at that rate, twice that when a
// conversion will write a second copy beside it (the advertisement step), and
// a margin for the file system and the rest of the machine.
std::uint64_t RecordingBytesNeeded(const TEncoderSettings& encoder, std::int64_t seconds, bool secondCopy);

// Bytes free for an ordinary user's new files on the disk holding `folder`;
// nullopt when that cannot be told (a folder that does not exist).
std::optional<std::uint64_t> FreeBytesIn(const std::string& folder);

// The sentence the user sees when `available` is less than `needed`, else
// nullopt.
std::optional<std::string> LowDiskWarning(const std::string& folder, const std::string& showName,
                                          std::uint64_t needed, std::uint64_t available);

}  // namespace wavecrate
