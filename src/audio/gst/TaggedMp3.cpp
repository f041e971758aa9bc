#include "audio/gst/TaggedMp3.h"

#include <gst/app/gstappsrc.h>
#include <gst/pbutils/pbutils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "audio/gst/GraphServices.h"

namespace wavecrate {

namespace {

// What the copy keeps queued ahead of the parser: enough to keep it busy,
// small enough that a long recording is never read into memory whole.
constexpr guint64 kQueuedBytes = 1 << 20;
constexpr std::size_t kChunkBytes = 64 * 1024;

void Log(const std::string& line) {
  std::fprintf(stderr, "wavecrate: tagged mp3: %s\n", line.c_str());
}

void AddText(GstTagList* list, const char* tag, const std::string& value) {
  if (!value.empty()) gst_tag_list_add(list, GST_TAG_MERGE_REPLACE, tag, value.c_str(), nullptr);
}

// The tag under which the tag writer takes whole frames of its own format.
constexpr const char* kRawFrameTag = "private-id3v2-frame";

// A TDRC ("recording time") frame of ID3v2.4 holding `text`, in UTF-8.
void AddTimeFrame(GstTagList* list, const std::string& text) {
  if (!gst_tag_exists(kRawFrameTag)) {
    gst_tag_register_static(kRawFrameTag, GST_TAG_FLAG_META, GST_TYPE_SAMPLE, kRawFrameTag,
                            "a frame of an ID3v2 tag", nullptr);
  }
  const std::size_t body = 1 + text.size();  // the encoding byte, then the text
  std::vector<std::uint8_t> frame = {'T', 'D', 'R', 'C'};
  for (int shift = 21; shift >= 0; shift -= 7)
    frame.push_back(static_cast<std::uint8_t>((body >> shift) & 0x7F));
  frame.insert(frame.end(), {0, 0, 3});  // no flags; UTF-8
  frame.insert(frame.end(), text.begin(), text.end());
  GstBuffer* buffer = gst_buffer_new_memdup(frame.data(), frame.size());
  TGstPtr<GstCaps> caps =
      AdoptGst(gst_caps_new_simple("application/x-gst-id3v2-frame", "version", G_TYPE_INT, 4, nullptr));
  GstSample* sample = gst_sample_new(buffer, caps.get(), nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_tag_list_add(list, GST_TAG_MERGE_APPEND, kRawFrameTag, sample, nullptr);
  gst_sample_unref(sample);
}

}  // namespace

TGstPtr<GstTagList> MakeRecordingTagList(const TRecordingTags& tags) {
  TGstPtr<GstTagList> list = AdoptGst(gst_tag_list_new_empty());
  AddText(list.get(), GST_TAG_TITLE, tags.Title);
  AddText(list.get(), GST_TAG_ARTIST, tags.Artist);
  AddText(list.get(), GST_TAG_ALBUM, tags.Album);
  AddText(list.get(), GST_TAG_GENRE, tags.Genre);
  AddText(list.get(), GST_TAG_COMMENT, tags.Comment);
  if (tags.HasRecorded) {
    const TLocalTime& t = tags.Recorded;
    // Local time as the listener's clock showed it; the tag carries no zone.
    GstDateTime* when = gst_date_time_new_local_time(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
    if (when) {
      gst_tag_list_add(list.get(), GST_TAG_MERGE_REPLACE, GST_TAG_DATE_TIME, when, nullptr);
      gst_date_time_unref(when);
    }
  }
  return list;
}

bool CreateTaggedMp3Tail(const TRecordingTags& tags, TTaggedMp3Tail& tail) {
  TGstPtr<GstTagList> list = MakeRecordingTagList(tags);
  return CreateTaggedMp3Tail(list.get(), tail);
}

bool CreateTaggedMp3Tail(const GstTagList* tags, TTaggedMp3Tail& tail) {
  tail.Xing = MakeElement("xingmux", "Xing");
  tail.Tagger = MakeElement("id3v2mux", "Tags");
  if (!tail.Xing || !tail.Tagger) return false;
  if (!tags) return true;
  TGstPtr<GstTagList> list = AdoptGst(gst_tag_list_copy(tags));
  GstDateTime* when = nullptr;
  if (gst_tag_list_get_date_time(list.get(), GST_TAG_DATE_TIME, &when)) {
    // The tag writer turns a date into the year alone and a date with time
    // into nothing; the recording's date and time go in as a ready-made
    // TDRC frame, which it takes as it is.
    gst_tag_list_remove_tag(list.get(), GST_TAG_DATE_TIME);
    if (gst_date_time_has_second(when)) {
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", gst_date_time_get_year(when),
                    gst_date_time_get_month(when), gst_date_time_get_day(when), gst_date_time_get_hour(when),
                    gst_date_time_get_minute(when), gst_date_time_get_second(when));
      AddTimeFrame(list.get(), text);
    }
    gst_date_time_unref(when);
  }
  gchar* comment = nullptr;
  if (gst_tag_list_get_string(list.get(), GST_TAG_COMMENT, &comment)) {
    // A plain comment is written as a COMM frame described "c0", which
    // several readers do not take for the file's comment; one without a
    // description (and without a language) they all do.
    gst_tag_list_remove_tag(list.get(), GST_TAG_COMMENT);
    const std::string extended = std::string("=") + comment;
    gst_tag_list_add(list.get(), GST_TAG_MERGE_REPLACE, GST_TAG_EXTENDED_COMMENT, extended.c_str(), nullptr);
    g_free(comment);
  }
  // Ours win over what the stream brings (the encoder's own tags are kept).
  gst_tag_setter_merge_tags(GST_TAG_SETTER(tail.Tagger.get()), list.get(), GST_TAG_MERGE_REPLACE);
  return true;
}

TGstPtr<GstTagList> ReadRecordingTagList(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || !EnsureGstInitialized()) return {};
  TGErrorPtr error;
  TGstPtr<GstDiscoverer> discoverer = AdoptGst(gst_discoverer_new(10 * GST_SECOND, error.Out()));
  TGCharPtr uri(gst_filename_to_uri(path.c_str(), error.Out()));
  if (!discoverer || !uri) return {};
  TGstPtr<GstDiscovererInfo> info =
      AdoptGst(gst_discoverer_discover_uri(discoverer.get(), uri.get(), error.Out()));
  if (!info || gst_discoverer_info_get_result(info.get()) != GST_DISCOVERER_OK) return {};
  const GstTagList* found = gst_discoverer_info_get_tags(info.get());  // borrowed
  if (!found) return {};
  // Only what the program itself puts there: the encoder's and the parser's
  // figures (bitrate, codec) describe the old stream, not a new one.
  TGstPtr<GstTagList> ours = AdoptGst(gst_tag_list_new_empty());
  for (const char* tag :
       {GST_TAG_TITLE, GST_TAG_ARTIST, GST_TAG_ALBUM, GST_TAG_GENRE, GST_TAG_COMMENT, GST_TAG_DATE_TIME}) {
    const GValue* value = gst_tag_list_get_value_index(found, tag, 0);
    if (value) gst_tag_list_add_value(ours.get(), GST_TAG_MERGE_REPLACE, tag, value);
  }
  if (gst_tag_list_is_empty(ours.get())) return {};
  return ours;
}

bool CopyToTaggedMp3(const std::string& source, const std::string& target, const TRecordingTags& tags,
                     const std::function<void(double)>& progress, const std::atomic<bool>* cancel,
                     std::string* error) {
  std::string why;
  auto fail = [&](std::string reason) {
    std::error_code ec;
    std::filesystem::remove(target, ec);
    Log(reason + " (" + source + " to " + target + ")");
    if (error) *error = std::move(reason);
    return false;
  };
  const std::optional<TMpegStream> stream = LocateMpegStream(source);
  if (!stream || stream->End <= stream->Begin) return fail("the file holds no MP3 stream");
  if (!EnsureGstInitialized()) return fail("GStreamer is not available");
  std::ifstream in(source, std::ios::binary);
  if (!in) return fail("the file cannot be read");

  TGraph graph("tagged-copy");
  TGstPtr<GstElement> src = MakeElement("appsrc", "Frames");
  TGstPtr<GstElement> parse = MakeElement("mpegaudioparse", "Parse");
  TGstPtr<GstElement> sink = CreateFileSink(target, TFileSinkMode::Bulk, "Writer");
  TTaggedMp3Tail tail;
  if (!graph || !src || !parse || !sink || !CreateTaggedMp3Tail(tags, tail))
    return fail("a part of GStreamer is not installed (appsrc, mpegaudioparse, xingmux, id3v2mux)");
  TGstPtr<GstCaps> caps = AdoptGst(gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 1, nullptr));
  g_object_set(src.get(), "caps", caps.get(), "format", GST_FORMAT_BYTES, "max-bytes", kQueuedBytes * 2,
               nullptr);
  if (!graph.AddAndLink({&src, &parse, &tail.Xing, &tail.Tagger, &sink}))
    return fail("the copy's parts do not fit together");
  TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(graph.Pipeline()));
  auto busError = [&](GstClockTime wait) -> bool {
    TGstPtr<GstMessage> m = AdoptGst(gst_bus_timed_pop_filtered(bus.get(), wait, GST_MESSAGE_ERROR));
    if (!m) return false;
    why = DescribeError(m.get());
    return true;
  };
  // Nothing prerolls before this thread feeds the source, so the pipeline
  // is not waited for here: its errors show on the bus while it is fed.
  if (gst_element_set_state(graph.Pipeline(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    busError(0);
    graph.SetNull();
    return fail("the copy would not start: " + why);
  }
  const std::uint64_t total = stream->End - stream->Begin;
  std::uint64_t done = 0;
  in.seekg(static_cast<std::streamoff>(stream->Begin));
  while (done < total) {
    if (cancel && cancel->load()) {
      graph.SetNull();
      return fail("cancelled");
    }
    // Waits while the parser has enough queued, watching for its errors.
    while (gst_app_src_get_current_level_bytes(GST_APP_SRC(src.get())) > kQueuedBytes) {
      if (busError(20 * GST_MSECOND)) {
        graph.SetNull();
        return fail("the copy failed: " + why);
      }
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, total - done));
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, want, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    in.read(reinterpret_cast<char*>(map.data), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0));
    gst_buffer_unmap(buffer, &map);
    if (got == 0) {
      gst_buffer_unref(buffer);
      graph.SetNull();
      return fail("the file could not be read to its end");
    }
    gst_buffer_set_size(buffer, static_cast<gssize>(got));
    if (gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer) != GST_FLOW_OK) {
      busError(0);
      graph.SetNull();
      return fail("the copy failed: " + (why.empty() ? std::string("the stream was refused") : why));
    }
    done += got;
    if (progress) progress(static_cast<double>(done) / static_cast<double>(total));
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  const TGraphEnd end = graph.WaitForEnd(std::chrono::seconds(60), cancel, &why);
  graph.SetNull();
  if (end != TGraphEnd::Eos) {
    return fail(end == TGraphEnd::Cancelled ? "cancelled"
                                            : "the copy did not finish: " + (why.empty() ? "time-out" : why));
  }
  TXingCounts counts(target);
  if (!counts.Count() || counts.Frames() < 2) return fail("the copy holds no MP3 frames");
  return true;
}

}  // namespace wavecrate
