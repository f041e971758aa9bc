#include "audio/gst/WavDestFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>
#include <span>

#include "audio/RiffHeader.h"
#include "audio/gst/GraphServices.h"

using wavecrate::TBytes;
using wavecrate::TGstPtr;

// Everything the element keeps between buffers. Touched on the streaming
// thread (chain and serialized events) and at state changes; the two counters
// are also read by property getters from any thread, under the object lock.
struct TWavDestState {
  TBytes Format;  // the current format block; empty until caps arrive
  bool IsMpeg = false;
  std::uint32_t Rate = 0;
  std::uint16_t Channels = 0;
  std::uint32_t TagBitrate = 0;    // from a bitrate tag, bits/s
  std::uint32_t FrameBitrate = 0;  // from the first frame header
  bool VariableBitrate = false;    // frames of different bitrates seen
  std::uint64_t DurationNs = 0;    // sum of buffer durations (for an average bitrate)
  std::uint64_t WrittenNs = 0;     // audio in the buffers the file writer took
  bool HeaderPushed = false;       // provisional header written
  bool Finished = false;           // exact header written; nothing more goes out
  std::uint64_t MaxBytes = wavecrate::kRiffMaxFileBytes;
  wavecrate::TRiffByteCounter Counter;
};

struct TWavDestFilter {
  GstElement Element;
  GstPad* SinkPad;
  GstPad* SrcPad;
  TWavDestState* State;
};

struct TWavDestFilterClass {
  GstElementClass ParentClass;
};

G_DEFINE_TYPE(TWavDestFilter, wavecrate_wav_dest_filter, GST_TYPE_ELEMENT)

namespace {

enum { PROP_0, PROP_DATA_BYTES, PROP_HEADER_BYTES, PROP_MAX_BYTES, PROP_DATA_DURATION };

GstStaticPadTemplate gSinkTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/mpeg, mpegversion = (int) 1, layer = (int) 3, rate = (int) [ 8000, 48000 ], "
                    "channels = (int) [ 1, 2 ]; "
                    "audio/x-raw, format = (string) { U8, S16LE, S24LE, S32LE, F32LE, F64LE }, "
                    "layout = (string) interleaved, rate = (int) [ 1, MAX ], channels = (int) [ 1, 2 ]"));

GstStaticPadTemplate gSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-wav"));

TWavDestFilter* Self(GstObject* parent) {
  return reinterpret_cast<TWavDestFilter*>(parent);
}

// An internal consistency check failed: report it the way the rest of the
// writer reports trouble (stderr and an element error) and let the caller
// give up on the buffer or event.
void AssertionFailure(TWavDestFilter* self, int line, const char* what) {
  std::fprintf(stderr, "wavdest: %s (%s, line %d): %s\n", "Assertion failure", "WavDestFilter", line, what);
  GST_ELEMENT_ERROR(&self->Element, STREAM, FAILED, ("Assertion failure"), ("%s (line %d)", what, line));
}

// The format block a caps structure describes; empty when it describes none.
TBytes FormatBlockFromCaps(GstCaps* caps, TWavDestState& st) {
  if (!caps || gst_caps_get_size(caps) == 0) return {};
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  int rate = 0, channels = 0;
  if (!gst_structure_get_int(s, "rate", &rate) || !gst_structure_get_int(s, "channels", &channels) ||
      rate <= 0 || channels <= 0)
    return {};
  st.Rate = static_cast<std::uint32_t>(rate);
  st.Channels = static_cast<std::uint16_t>(channels);
  if (gst_structure_has_name(s, "audio/mpeg")) {
    st.IsMpeg = true;
    std::uint32_t bitrate = st.FrameBitrate ? st.FrameBitrate : st.TagBitrate;
    int capsBitrate = 0;
    if (!bitrate && gst_structure_get_int(s, "bitrate", &capsBitrate) && capsBitrate > 0)
      bitrate = static_cast<std::uint32_t>(capsBitrate);
    return wavecrate::MakeMpegLayer3FormatBlock(st.Rate, st.Channels, bitrate);
  }
  st.IsMpeg = false;
  const char* format = gst_structure_get_string(s, "format");
  if (!format) return {};
  const std::string f = format;
  if (f == "U8") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 8);
  if (f == "S16LE") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 16);
  if (f == "S24LE") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 24);
  if (f == "S32LE") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 32);
  if (f == "F32LE") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 32, true);
  if (f == "F64LE") return wavecrate::MakePcmFormatBlock(st.Rate, st.Channels, 64, true);
  return {};
}

// The MPEG block again, with the best bitrate known now: the frames' own when
// they all agree, otherwise (VBR) the average over the stream at the end.
void RefreshMpegFormat(TWavDestState& st, bool final) {
  if (!st.IsMpeg) return;
  std::uint32_t bitrate = st.FrameBitrate ? st.FrameBitrate : st.TagBitrate;
  if (final && st.VariableBitrate && st.DurationNs > 0) {
    const double average =
        static_cast<double>(st.Counter.DataBytes) * 8.0 * 1e9 / static_cast<double>(st.DurationNs);
    bitrate = static_cast<std::uint32_t>(std::llround(average));
  }
  st.Format = wavecrate::MakeMpegLayer3FormatBlock(st.Rate, st.Channels, bitrate);
}

// Pushes a BYTES segment from 0 (filesink seeks back to the start) and the
// given header as the file's first bytes.
GstFlowReturn PushHeader(TWavDestFilter* self, const TBytes& header) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  if (!gst_pad_push_event(self->SrcPad, gst_event_new_segment(&segment)))
    std::fprintf(stderr, "wavdest: the file writer refused the segment for the header\n");
  GstBuffer* buffer = gst_buffer_new_memdup(header.data(), header.size());
  if (!buffer) {
    AssertionFailure(self, __LINE__, "no memory for the header");
    return GST_FLOW_ERROR;
  }
  GST_BUFFER_OFFSET(buffer) = 0;
  GST_BUFFER_OFFSET_END(buffer) = header.size();
  return gst_pad_push(self->SrcPad, buffer);
}

// Our own caps on the src pad, once per stream.
bool EnsureSrcCaps(TWavDestFilter* self) {
  if (gst_pad_has_current_caps(self->SrcPad)) return true;
  TGstPtr<GstCaps> caps = TGstPtr<GstCaps>::Adopt(gst_caps_new_empty_simple("audio/x-wav"));
  return gst_pad_set_caps(self->SrcPad, caps.get());
}

GstFlowReturn PushProvisionalHeader(TWavDestFilter* self) {
  TWavDestState& st = *self->State;
  EnsureSrcCaps(self);
  const GstFlowReturn flow = PushHeader(self, wavecrate::BuildProvisionalRiffHeader(st.Format));
  if (flow == GST_FLOW_OK) st.HeaderPushed = true;
  return flow;
}

// Writes the exact header; after this nothing more is written to the file.
GstFlowReturn FinishFile(TWavDestFilter* self) {
  TWavDestState& st = *self->State;
  if (st.Finished) return GST_FLOW_OK;
  st.Finished = true;
  if (st.Format.empty()) {
    // An encoder that got no audio never announces its output format, so
    // there is nothing to describe: the file stays empty.
    std::fprintf(stderr, "wavdest: the stream ended before its format was known; no header written\n");
    return GST_FLOW_OK;
  }
  RefreshMpegFormat(st, true);
  EnsureSrcCaps(self);
  const GstFlowReturn flow = PushHeader(self, wavecrate::BuildRiffHeader(st.Format, st.Counter.DataBytes));
  if (flow != GST_FLOW_OK)
    std::fprintf(stderr, "wavdest: writing the final header failed (%s); the provisional one stays\n",
                 gst_flow_get_name(flow));
  return flow;
}

// The exact header for what the file holds now, then back to the end of the
// payload, so the recording goes on into the same file (before the computer
// sleeps: a file cut off while it sleeps is then still exact).
bool WriteHeaderNow(TWavDestFilter* self) {
  TWavDestState& st = *self->State;
  if (!st.HeaderPushed || st.Finished) return true;  // nothing in the file yet, or already exact
  RefreshMpegFormat(st, true);
  const std::uint32_t end = st.Counter.HeaderBytes + st.Counter.DataBytes;
  GstFlowReturn flow = PushHeader(self, wavecrate::BuildRiffHeader(st.Format, st.Counter.DataBytes));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  segment.start = end;
  segment.position = end;
  segment.time = end;
  if (!gst_pad_push_event(self->SrcPad, gst_event_new_segment(&segment))) flow = GST_FLOW_ERROR;
  if (flow != GST_FLOW_OK)
    std::fprintf(stderr, "wavdest: writing the header in the middle of the file failed (%s)\n",
                 gst_flow_get_name(flow));
  return flow == GST_FLOW_OK;
}

void ResetState(TWavDestFilter* self) {
  GST_OBJECT_LOCK(self);
  const std::uint64_t maxBytes = self->State->MaxBytes;
  *self->State = TWavDestState{};
  self->State->MaxBytes = maxBytes;
  GST_OBJECT_UNLOCK(self);
}

bool SetCaps(TWavDestFilter* self, GstCaps* caps) {
  TWavDestState& st = *self->State;
  TWavDestState probe = st;
  TBytes format = FormatBlockFromCaps(caps, probe);
  if (format.empty()) {
    std::fprintf(stderr, "wavdest: no WAVE format block describes these caps\n");
    return false;
  }
  // Once payload is in the file its format cannot change; the same format
  // again (a re-sent caps event) is fine. (An MPEG block may differ in its
  // bitrate fields, which are refined as frames arrive.)
  const bool same =
      probe.IsMpeg == st.IsMpeg &&
      (st.IsMpeg ? probe.Rate == st.Rate && probe.Channels == st.Channels : format == st.Format);
  if (st.HeaderPushed && !same) {
    std::fprintf(stderr, "wavdest: the format changed in the middle of the file; refused\n");
    return false;
  }
  st.IsMpeg = probe.IsMpeg;
  st.Rate = probe.Rate;
  st.Channels = probe.Channels;
  if (!st.HeaderPushed) {
    st.Format = std::move(format);
    GST_OBJECT_LOCK(self);
    st.Counter.Start(st.Format.size(), st.MaxBytes);
    GST_OBJECT_UNLOCK(self);
  }
  return EnsureSrcCaps(self);
}

void NoteTags(TWavDestState& st, GstEvent* event) {
  GstTagList* tags = nullptr;
  gst_event_parse_tag(event, &tags);
  guint bitrate = 0;
  if (tags &&
      (gst_tag_list_get_uint(tags, GST_TAG_NOMINAL_BITRATE, &bitrate) ||
       gst_tag_list_get_uint(tags, GST_TAG_BITRATE, &bitrate)) &&
      bitrate > 0)
    st.TagBitrate = bitrate;
}

// Runs on the streaming thread for serialized events, on any thread for the
// others.
gboolean SinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
  TWavDestFilter* self = Self(parent);
  TWavDestState& st = *self->State;
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      const bool ok = SetCaps(self, caps);
      gst_event_unref(event);
      return ok;
    }
    case GST_EVENT_SEGMENT:
      // Upstream's TIME segment means nothing to a file; we send our own
      // BYTES segment with the header.
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_TAG:
      NoteTags(st, event);
      return gst_pad_event_default(pad, parent, event);
    case GST_EVENT_EOS:
      FinishFile(self);
      return gst_pad_event_default(pad, parent, event);
    case GST_EVENT_CUSTOM_DOWNSTREAM:
      if (gst_event_has_name(event, wavecrate::kWavDestWriteHeaderEvent)) {
        const bool ok = WriteHeaderNow(self);
        gst_event_unref(event);
        return ok;
      }
      return gst_pad_event_default(pad, parent, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

// Notes the bitrate of the frame a buffer starts with (lamemp3enc hands out
// whole frames), so the format block can name the stream's bitrate.
void NoteFrame(TWavDestState& st, GstBuffer* buffer) {
  std::uint8_t head[4];
  if (gst_buffer_extract(buffer, 0, head, sizeof head) != sizeof head) return;
  const auto info = wavecrate::ParseMpegFrameHeader(head);
  if (!info) return;
  if (st.FrameBitrate == 0) {
    st.FrameBitrate = info->Bitrate;
  } else if (info->Bitrate != st.FrameBitrate) {
    st.VariableBitrate = true;
  }
  if (GST_BUFFER_DURATION_IS_VALID(buffer)) {
    st.DurationNs += GST_BUFFER_DURATION(buffer);
  } else if (info->SampleRate) {
    st.DurationNs += std::uint64_t{info->SamplesPerFrame} * GST_SECOND / info->SampleRate;
  }
}

// The audio a payload buffer holds, in nanoseconds: its own duration, or
// what its size says (raw samples; an MPEG frame by its header).
std::uint64_t BufferDuration(const TWavDestState& st, GstBuffer* buffer, gsize size) {
  if (GST_BUFFER_DURATION_IS_VALID(buffer)) return GST_BUFFER_DURATION(buffer);
  if (st.IsMpeg) {
    std::uint8_t head[4];
    if (gst_buffer_extract(buffer, 0, head, sizeof head) != sizeof head) return 0;
    const auto info = wavecrate::ParseMpegFrameHeader(head);
    if (!info || !info->SampleRate || !info->FrameBytes) return 0;
    const std::uint64_t frames = std::max<std::uint64_t>(1, size / info->FrameBytes);
    return frames * info->SamplesPerFrame * GST_SECOND / info->SampleRate;
  }
  const std::uint64_t bytesPerSecond =
      st.Format.size() >= 12 ? (std::uint64_t{st.Format[8]} | std::uint64_t{st.Format[9]} << 8 |
                                std::uint64_t{st.Format[10]} << 16 | std::uint64_t{st.Format[11]} << 24)
                             : 0;
  return bytesPerSecond ? size * GST_SECOND / bytesPerSecond : 0;
}

// The streaming thread's path for every payload buffer.
GstFlowReturn SinkChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  TWavDestFilter* self = Self(parent);
  TWavDestState& st = *self->State;
  if (st.Format.empty()) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(&self->Element, CORE, NEGOTIATION, (nullptr), ("audio arrived before its format"));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  if (st.Finished) {
    gst_buffer_unref(buffer);
    return GST_FLOW_EOS;
  }
  if (st.IsMpeg) NoteFrame(st, buffer);
  if (!st.HeaderPushed) {
    RefreshMpegFormat(st, false);
    const GstFlowReturn flow = PushProvisionalHeader(self);
    if (flow != GST_FLOW_OK) {
      gst_buffer_unref(buffer);
      return flow;
    }
  }

  const gsize size = gst_buffer_get_size(buffer);
  GST_OBJECT_LOCK(self);
  const std::uint32_t before = st.Counter.DataBytes;
  const auto offset = size <= 0xFFFFFFFFu ? st.Counter.Claim(static_cast<std::uint32_t>(size)) : std::nullopt;
  GST_OBJECT_UNLOCK(self);
  if (!offset) {
    // The file is as large as a RIFF file can be: end it cleanly here.
    gst_buffer_unref(buffer);
    std::fprintf(stderr, "wavdest: the file reached its size limit (%llu bytes); the recording ends here\n",
                 static_cast<unsigned long long>(st.MaxBytes));
    // The exact header first: whoever acts on the warning finds the file
    // finished.
    FinishFile(self);
    GST_ELEMENT_WARNING(&self->Element, RESOURCE, NO_SPACE_LEFT, ("The file reached its size limit"),
                        ("%u payload bytes written", before));
    return GST_FLOW_EOS;
  }

  buffer = gst_buffer_make_writable(buffer);
  const std::uint64_t duration = BufferDuration(st, buffer, size);
  GST_BUFFER_OFFSET(buffer) = *offset;
  GST_BUFFER_OFFSET_END(buffer) = *offset + size;
  const GstFlowReturn flow = gst_pad_push(self->SrcPad, buffer);
  if (flow != GST_FLOW_OK) {
    // Not taken downstream: not counted, so the header's size stays true.
    GST_OBJECT_LOCK(self);
    st.Counter.Restore(before);
    GST_OBJECT_UNLOCK(self);
  } else {
    GST_OBJECT_LOCK(self);
    st.WrittenNs += duration;
    GST_OBJECT_UNLOCK(self);
  }
  return flow;
}

gboolean SrcQuery(GstPad* pad, GstObject* parent, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_SEEKING) {
    GstFormat format;
    gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
    gst_query_set_seeking(query, format, FALSE, 0, -1);
    return TRUE;
  }
  return gst_pad_query_default(pad, parent, query);
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
  auto* self = reinterpret_cast<TWavDestFilter*>(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) ResetState(self);
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(wavecrate_wav_dest_filter_parent_class)->change_state(element, transition);
  if (ret == GST_STATE_CHANGE_FAILURE) return ret;
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    const TWavDestState& st = *self->State;
    if (st.HeaderPushed && !st.Finished)
      std::fprintf(stderr,
                   "wavdest: stopped without end-of-stream after %u bytes; the file keeps its open-ended "
                   "header\n",
                   st.Counter.DataBytes);
  }
  return ret;
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  auto* self = reinterpret_cast<TWavDestFilter*>(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_DATA_BYTES:
      g_value_set_uint(value, self->State->Counter.DataBytes);
      break;
    case PROP_HEADER_BYTES:
      g_value_set_uint(value, self->State->Counter.HeaderBytes);
      break;
    case PROP_MAX_BYTES:
      g_value_set_uint64(value, self->State->MaxBytes);
      break;
    case PROP_DATA_DURATION:
      g_value_set_uint64(value, self->State->WrittenNs);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  auto* self = reinterpret_cast<TWavDestFilter*>(object);
  GST_OBJECT_LOCK(self);
  switch (id) {
    case PROP_MAX_BYTES:
      self->State->MaxBytes =
          std::min<std::uint64_t>(g_value_get_uint64(value), wavecrate::kRiffMaxFileBytes);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

void Finalize(GObject* object) {
  auto* self = reinterpret_cast<TWavDestFilter*>(object);
  delete self->State;
  self->State = nullptr;
  G_OBJECT_CLASS(wavecrate_wav_dest_filter_parent_class)->finalize(object);
}

gboolean PluginInit(GstPlugin* plugin) {
  return gst_element_register(plugin, wavecrate::kWavDestElementName, GST_RANK_NONE,
                              wavecrate_wav_dest_filter_get_type());
}

}  // namespace

static void wavecrate_wav_dest_filter_class_init(TWavDestFilterClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  objectClass->get_property = GetProperty;
  objectClass->set_property = SetProperty;
  objectClass->finalize = Finalize;
  g_object_class_install_property(
      objectClass, PROP_DATA_BYTES,
      g_param_spec_uint("data-bytes", "Data bytes", "Payload bytes passed downstream", 0, G_MAXUINT32, 0,
                        static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      objectClass, PROP_HEADER_BYTES,
      g_param_spec_uint("header-bytes", "Header bytes", "Size of the header at the head of the file", 0,
                        G_MAXUINT32, 0, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      objectClass, PROP_MAX_BYTES,
      g_param_spec_uint64("max-bytes", "Maximum file size", "The file never grows past this many bytes", 0,
                          wavecrate::kRiffMaxFileBytes, wavecrate::kRiffMaxFileBytes,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      objectClass, PROP_DATA_DURATION,
      g_param_spec_uint64("data-duration", "Data duration", "Audio in the payload passed downstream, in ns",
                          0, G_MAXUINT64, 0,
                          static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
  elementClass->change_state = ChangeState;
  gst_element_class_add_static_pad_template(elementClass, &gSinkTemplate);
  gst_element_class_add_static_pad_template(elementClass, &gSrcTemplate);
  gst_element_class_set_static_metadata(elementClass, "WavDest filter", "Codec/Muxer/Audio",
                                        "Writes an audio stream as one RIFF WAVE file", "Wavecrate");
}

static void wavecrate_wav_dest_filter_init(TWavDestFilter* self) {
  self->State = new TWavDestState();
  self->SrcPad = gst_pad_new_from_static_template(&gSrcTemplate, "src");
  gst_pad_set_query_function(self->SrcPad, SrcQuery);
  gst_pad_use_fixed_caps(self->SrcPad);
  gst_element_add_pad(&self->Element, self->SrcPad);
  self->SinkPad = gst_pad_new_from_static_template(&gSinkTemplate, "sink");
  gst_pad_set_chain_function(self->SinkPad, SinkChain);
  gst_pad_set_event_function(self->SinkPad, SinkEvent);
  gst_element_add_pad(&self->Element, self->SinkPad);
}

namespace wavecrate {

bool RegisterWavDestFilter() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    if (!EnsureGstInitialized()) return;
    registered = gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, kWavDestElementName,
                                            "The recorder's WAV writer", PluginInit, "1.0", "Proprietary",
                                            "wavecrate", "wavecrate", "https://www.wavecrate.example");
    if (!registered) std::fprintf(stderr, "wavdest: registering the WAV writer element failed\n");
  });
  return registered;
}

TGstPtr<GstElement> CreateWavDestFilter(const char* name) {
  if (!RegisterWavDestFilter()) return {};
  return MakeElement(kWavDestElementName, name);
}

}  // namespace wavecrate
