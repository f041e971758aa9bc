// The tagged MP3 file on GStreamer: the elements that turn an MP3 stream
// into one (xingmux for the Xing frame, id3v2mux for the ID3v2.4 tag in
// front), and a copy of a WAVE recording's MP3 frames into one.
//
//   ... MP3 stream -> xingmux "Xing" -> id3v2mux "Tags" -> filesink
//
// xingmux writes a Xing frame without counts at the start and, at the end of
// the stream, seeks back and writes the frame and byte counts and a seek
// table; id3v2mux shifts that seek by its tag's length.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <functional>
#include <string>

#include "audio/RecordingFile.h"
#include "audio/gst/GstHandles.h"

namespace wavecrate {

// The tag list a tagged file carries for `tags` (empty texts left out).
TGstPtr<GstTagList> MakeRecordingTagList(const TRecordingTags& tags);

struct TTaggedMp3Tail {
  TGstPtr<GstElement> Xing;    // first: takes the MP3 stream
  TGstPtr<GstElement> Tagger;  // last: feeds the file writer
};
// Both elements, the tagger holding `tags`; false (logged) when either
// element is not installed.
bool CreateTaggedMp3Tail(const TRecordingTags& tags, TTaggedMp3Tail& tail);
// The same with a tag list of its own (may be null: no tags of ours).
bool CreateTaggedMp3Tail(const GstTagList* tags, TTaggedMp3Tail& tail);

// The tags of a tagged file (title, artist, album, genre, comment, date and
// time) as GStreamer reads them back; null when the file has none or cannot
// be read.
TGstPtr<GstTagList> ReadRecordingTagList(const std::string& path);

// Writes `target` (which must not be `source`) as a tagged MP3 file holding
// the MP3 frames of the recording `source` unchanged (no new encoding) and
// `tags`. `progress` (may be empty) is called with the share done, 0..1, on
// this thread; `cancel` (may be null) ends the copy. False, with `target`
// removed and the reason in *error, when the source holds no MP3 stream, a
// part is missing, or the copy failed or was cancelled.
bool CopyToTaggedMp3(const std::string& source, const std::string& target, const TRecordingTags& tags,
                     const std::function<void(double)>& progress, const std::atomic<bool>* cancel,
                     std::string* error);

}  // namespace wavecrate
