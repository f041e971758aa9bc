// A file source for bulk conversion: like filesrc (random access, so
// demuxers pull from it), but it reads the file in large windows and hands
// out the pieces asked for as views into the window, without copying.
//
// Why: a demuxer in pull mode asks for every chunk separately. For the mixed
// PCM AVI that is one 4 KiB request per chunk, each costing filesrc a seek
// and a read; over an hour of audio the system calls alone cost more CPU
// than the whole rest of the graph except the encoder. Here a request inside
// the current window costs no system call; a request outside it (the next
// stretch, or a jump such as a demuxer reading an index at the end) reads a
// new window with one pread.
//
// Only regular files: the caller checks, since a FIFO would block.
#pragma once

#include <gst/gst.h>

#include <cstddef>
#include <string>

#include "audio/gst/GstHandles.h"

namespace wavecrate {

inline constexpr std::size_t kReadAheadWindowBytes = 1 << 20;

// A new source reading `path`; empty when GStreamer cannot be initialised.
// The file is opened when the element starts (READY to PAUSED); a file that
// cannot be opened fails that state change with a RESOURCE error.
TGstPtr<GstElement> CreateReadAheadFileSrc(const std::string& path, const char* name = nullptr);

}  // namespace wavecrate
