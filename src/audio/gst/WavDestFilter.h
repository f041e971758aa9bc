// TWavDestFilter: the WAV writer, our own GStreamer element.
//
// It sits between an encoder and filesink and turns an audio stream into one
// RIFF WAVE file: the "fmt " chunk holds the WAVEFORMATEX-style block that
// describes the input (a 30-byte MPEGLAYER3WAVEFORMAT for MPEG layer 3 from
// lamemp3enc, an 18-byte PCM block for raw samples), the "data" chunk the
// payload unchanged.
//
//   sink pad  audio/mpeg (mpegversion 1, layer 3) or interleaved audio/x-raw
//             (U8, S16LE, S24LE, S32LE, F32LE, F64LE), one or two channels
//   src pad   audio/x-wav byte stream, BYTES segment, GST_BUFFER_OFFSET set
//             on every buffer to the file position it belongs at
//
// With the first payload buffer (or at EOS when none came) it writes a
// provisional header whose two size fields read "to the end of the file", so
// that a file cut off by a crash still plays. At EOS it pushes a new BYTES
// segment from 0 and the exact header (filesink seeks back to write it), then
// forwards EOS. The file never grows past 4 GiB - 1: the buffer that would
// cross the limit is dropped, the exact header is written, a warning
// (RESOURCE, NO_SPACE_LEFT) is posted from the element and upstream gets
// GST_FLOW_EOS, so the recording ends with a complete file.
//
// A custom downstream event named kWavDestWriteHeaderEvent, sent to the sink
// pad from any thread (it is serialized with the payload), makes it write
// the exact header for what the file holds now and go back to the end of
// the payload: the recording goes on in the same file, whose header is
// exact at that moment (written before the computer sleeps).
//
// Properties: "data-bytes" (guint, read-only; payload bytes passed
// downstream), "header-bytes" (guint, read-only; F + 28, 0 before the format
// is known), "max-bytes" (guint64; the file size limit, at most 0xFFFFFFFF),
// "data-duration" (guint64, read-only; ns of audio in the payload passed
// downstream).
//
// The element is registered only inside this process (never installed
// system-wide) under kWavDestElementName.
#pragma once

#include <glib-object.h>
#include <gst/gst.h>

#include "audio/gst/GstHandles.h"

// The element's GObject type (registered on first use).
GType wavecrate_wav_dest_filter_get_type();

namespace wavecrate {

inline constexpr const char* kWavDestElementName = "wavecratewavdest";
inline constexpr const char* kWavDestWriteHeaderEvent = "wavecrate-write-header";

// Initialises GStreamer if needed and registers the element with this
// process's registry. Idempotent and thread-safe; true when the element can
// be made.
bool RegisterWavDestFilter();

// A new WAV writer element (floating reference sunk), or an empty handle
// when GStreamer cannot be initialised. `name` may be null.
TGstPtr<GstElement> CreateWavDestFilter(const char* name = nullptr);

}  // namespace wavecrate
