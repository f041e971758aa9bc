#include "audio/gst/ReadAheadFileSrc.h"

#include <fcntl.h>
#include <gst/base/gstbasesrc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audio/gst/GraphServices.h"

namespace {

// Touched by the streaming thread in create and at start/stop, which
// GstBaseSrc never runs at the same time.
struct TReadAheadState {
  std::string Path;
  int Fd = -1;
  guint64 Size = 0;
  GstBuffer* Window = nullptr;  // owned; the latest stretch read
  guint64 WindowStart = 0;
  gsize WindowBytes = 0;
};

struct TReadAheadFileSrc {
  GstBaseSrc Parent;
  TReadAheadState* State;
};

struct TReadAheadFileSrcClass {
  GstBaseSrcClass ParentClass;
};

}  // namespace

G_DEFINE_TYPE(TReadAheadFileSrc, wavecrate_read_ahead_file_src, GST_TYPE_BASE_SRC)

namespace {

GstStaticPadTemplate gSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

TReadAheadState& StateOf(GstBaseSrc* src) {
  return *reinterpret_cast<TReadAheadFileSrc*>(src)->State;
}

void DropWindow(TReadAheadState& st) {
  if (st.Window) gst_buffer_unref(st.Window);
  st.Window = nullptr;
  st.WindowStart = 0;
  st.WindowBytes = 0;
}

gboolean Start(GstBaseSrc* src) {
  TReadAheadState& st = StateOf(src);
  st.Fd = open(st.Path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (st.Fd < 0 || fstat(st.Fd, &info) != 0) {
    const int error = errno;
    if (st.Fd >= 0) close(st.Fd);
    st.Fd = -1;
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("Could not open \"%s\" for reading", st.Path.c_str()),
                      ("%s", std::strerror(error)));
    return FALSE;
  }
  st.Size = static_cast<guint64>(info.st_size);
  return TRUE;
}

gboolean Stop(GstBaseSrc* src) {
  TReadAheadState& st = StateOf(src);
  DropWindow(st);
  if (st.Fd >= 0) close(st.Fd);
  st.Fd = -1;
  return TRUE;
}

gboolean GetSize(GstBaseSrc* src, guint64* size) {
  *size = StateOf(src).Size;
  return TRUE;
}

gboolean IsSeekable(GstBaseSrc*) {
  return TRUE;
}

// Reads a new window starting at `offset`, at least `length` bytes long
// unless the file ends first.
GstFlowReturn Refill(GstBaseSrc* src, TReadAheadState& st, guint64 offset, gsize length) {
  DropWindow(st);
  const gsize want = std::max<gsize>(length, wavecrate::kReadAheadWindowBytes);
  GstBuffer* window = gst_buffer_new_allocate(nullptr, want, nullptr);
  GstMapInfo map;
  if (!window || !gst_buffer_map(window, &map, GST_MAP_WRITE)) {
    if (window) gst_buffer_unref(window);
    GST_ELEMENT_ERROR(src, RESOURCE, NO_SPACE_LEFT, (nullptr), ("could not allocate %zu bytes", want));
    return GST_FLOW_ERROR;
  }
  gsize got = 0;
  while (got < want) {
    const ssize_t n = pread(st.Fd, map.data + got, want - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      gst_buffer_unmap(window, &map);
      gst_buffer_unref(window);
      GST_ELEMENT_ERROR(src, RESOURCE, READ, (nullptr),
                        ("reading \"%s\": %s", st.Path.c_str(), std::strerror(error)));
      return GST_FLOW_ERROR;
    }
    if (n == 0) break;  // the end of the file
    got += static_cast<gsize>(n);
  }
  gst_buffer_unmap(window, &map);
  gst_buffer_set_size(window, static_cast<gssize>(got));
  st.Window = window;
  st.WindowStart = offset;
  st.WindowBytes = got;
  return GST_FLOW_OK;
}

// The streaming thread's request for `length` bytes at `offset`.
GstFlowReturn Create(GstBaseSrc* src, guint64 offset, guint length, GstBuffer** out) {
  TReadAheadState& st = StateOf(src);
  if (offset >= st.Size) return GST_FLOW_EOS;
  const gsize wanted = static_cast<gsize>(std::min<guint64>(length, st.Size - offset));
  const bool inside =
      st.Window && offset >= st.WindowStart && offset + wanted <= st.WindowStart + st.WindowBytes;
  if (!inside) {
    const GstFlowReturn flow = Refill(src, st, offset, wanted);
    if (flow != GST_FLOW_OK) return flow;
  }
  const gsize available = static_cast<gsize>(st.WindowStart + st.WindowBytes - offset);
  if (available == 0) return GST_FLOW_EOS;  // the file shrank under us
  // A view into the window: shares its memory, which lives as long as any
  // view of it does.
  GstBuffer* piece =
      gst_buffer_copy_region(st.Window, GST_BUFFER_COPY_MEMORY, static_cast<gsize>(offset - st.WindowStart),
                             std::min(wanted, available));
  if (!piece) return GST_FLOW_ERROR;
  GST_BUFFER_OFFSET(piece) = offset;
  GST_BUFFER_OFFSET_END(piece) = offset + gst_buffer_get_size(piece);
  *out = piece;
  return GST_FLOW_OK;
}

// Demuxers name their streams after the source's URI when it has one, and
// parsebin orders streams of one kind by those names. Without an answer each
// stream got a random name, so which audio stream came first changed from
// run to run.
gboolean Query(GstBaseSrc* src, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_URI) {
    gchar* uri = gst_filename_to_uri(StateOf(src).Path.c_str(), nullptr);
    if (!uri) return FALSE;
    gst_query_set_uri(query, uri);
    g_free(uri);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(wavecrate_read_ahead_file_src_parent_class)->query(src, query);
}

void Finalize(GObject* object) {
  auto* self = reinterpret_cast<TReadAheadFileSrc*>(object);
  if (self->State) {
    DropWindow(*self->State);
    if (self->State->Fd >= 0) close(self->State->Fd);
  }
  delete self->State;
  self->State = nullptr;
  G_OBJECT_CLASS(wavecrate_read_ahead_file_src_parent_class)->finalize(object);
}

}  // namespace

static void wavecrate_read_ahead_file_src_class_init(TReadAheadFileSrcClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(elementClass, &gSrcTemplate);
  gst_element_class_set_static_metadata(elementClass, "Read-ahead file source", "Source/File",
                                        "Reads a regular file in large windows", "Wavecrate");
  GstBaseSrcClass* baseClass = GST_BASE_SRC_CLASS(klass);
  baseClass->start = Start;
  baseClass->stop = Stop;
  baseClass->get_size = GetSize;
  baseClass->is_seekable = IsSeekable;
  baseClass->create = Create;
  baseClass->query = Query;
}

static void wavecrate_read_ahead_file_src_init(TReadAheadFileSrc* self) {
  self->State = new TReadAheadState();
}

namespace wavecrate {

TGstPtr<GstElement> CreateReadAheadFileSrc(const std::string& path, const char* name) {
  if (!EnsureGstInitialized()) return {};
  auto* element = static_cast<GstElement*>(g_object_new(wavecrate_read_ahead_file_src_get_type(), nullptr));
  if (name) gst_object_set_name(GST_OBJECT(element), name);
  reinterpret_cast<TReadAheadFileSrc*>(element)->State->Path = path;
  return AdoptGst(element);
}

}  // namespace wavecrate
