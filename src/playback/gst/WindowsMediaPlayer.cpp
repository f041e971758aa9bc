#include "playback/gst/WindowsMediaPlayer.h"

#include <glib/gstdio.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <totem-pl-parser.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "audio/gst/GstHandles.h"

namespace wavecrate {

namespace {

// Bounds on resolving one link through playlists.
constexpr int kMaxAddressesPerLink = 16;
constexpr int kMaxPlaylistDepth = 3;
constexpr std::size_t kMaxPlaylistBytes = 256 * 1024;
// A playlist fetch that has not finished by then is given up.
constexpr guint kFetchTimeoutMs = 10000;
// An address that has not started playing by then is given up.
constexpr guint kOpenTimeoutMs = 20000;
// Network read time-out of the HTTP source, in seconds.
constexpr guint kSourceTimeoutSeconds = 10;

// playbin's GstPlayFlags (not in a public header).
constexpr guint kPlayFlagVideo = 1u << 0;
constexpr guint kPlayFlagText = 1u << 2;
constexpr guint kPlayFlagVis = 1u << 3;

struct TCandidate {
  std::string Uri;
  int Depth = 0;  // 0: the link itself; n: an entry of a playlist n levels down
};

bool HasProperty(GObject* object, const char* name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A link as users paste it: blanks around it dropped, "http://" in front of
// a bare host.
std::string PlayableUri(const std::string& link) {
  std::string uri = Trim(link);
  if (uri.find("://") == std::string::npos) uri = "http://" + uri;
  return uri;
}

// Only network addresses are taken from a playlist that came off the
// network: an entry must not make the player open local files or devices.
bool IsNetworkUri(const std::string& uri) {
  const std::string lower = Lower(uri);
  for (const char* scheme :
       {"http://", "https://", "mms://", "mmsh://", "rtsp://", "rtmp://", "icy://", "icyx://"}) {
    if (lower.rfind(scheme, 0) == 0) return true;
  }
  return false;
}

// File name extension that makes totem-pl-parser read the data as the
// playlist type the server named, or the link's own extension.
std::string PlaylistExtension(const std::string& contentType, const std::string& uri) {
  const std::string type = Lower(contentType.substr(0, contentType.find(';')));
  if (type == "audio/x-scpls") return ".pls";
  if (type == "audio/x-mpegurl" || type == "audio/mpegurl" || type == "application/x-mpegurl" ||
      type == "application/vnd.apple.mpegurl") {
    return ".m3u";
  }
  if (type == "application/xspf+xml") return ".xspf";
  if (type == "video/x-ms-asf" || type == "video/x-ms-asx" || type == "audio/x-ms-wax" ||
      type == "video/x-ms-wvx" || type == "audio/x-ms-asx") {
    return ".asx";
  }
  std::string path = Lower(uri.substr(0, uri.find_first_of("?#")));
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
  const std::string ext = path.substr(dot);
  for (const char* known :
       {".pls", ".m3u", ".m3u8", ".asx", ".wax", ".wvx", ".xspf", ".ram", ".rm", ".qtl"}) {
    if (ext == known) return ext;
  }
  return "";
}

// The folder of an address, which relative playlist entries are taken
// against: "http://host/radio/listen.pls?id=7" gives "http://host/radio/".
std::string BaseFolder(const std::string& uri) {
  const std::string path = uri.substr(0, uri.find_first_of("?#"));
  const auto scheme = path.find("://");
  const auto slash = path.rfind('/');
  if (scheme == std::string::npos || slash == std::string::npos || slash < scheme + 3) return path + "/";
  return path.substr(0, slash + 1);
}

void OnEntryParsed(TotemPlParser*, const gchar* uri, GHashTable*, gpointer user) {
  // Runs inside totem_pl_parser_parse_with_base, on the player's thread.
  static_cast<std::vector<std::string>*>(user)->push_back(uri ? uri : "");
}

// The entries of a playlist held in memory; none when it is not one.
std::vector<std::string> ParsePlaylist(const std::string& data, const std::string& baseUri,
                                       const std::string& contentType) {
  std::vector<std::string> entries;
  if (data.empty()) return entries;
  const std::string pattern = "wavecrate-playlist-XXXXXX" + PlaylistExtension(contentType, baseUri);
  TGErrorPtr error;
  TGCharPtr path;
  const int fd = g_file_open_tmp(pattern.c_str(), path.Out(), error.Out());
  if (fd < 0) {
    std::fprintf(stderr, "wavecrate: no scratch file for a playlist: %s\n", error.Message());
    return entries;
  }
  const bool written = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  close(fd);
  if (written) {
    TGCharPtr fileUri(g_filename_to_uri(path.get(), nullptr, nullptr));
    TotemPlParser* parser = totem_pl_parser_new();
    // Nested playlists come back as entries; they are fetched like the link.
    g_object_set(parser, "recurse", FALSE, nullptr);
    g_signal_connect(parser, "entry-parsed", G_CALLBACK(&OnEntryParsed), &entries);
    const TotemPlParserResult result =
        totem_pl_parser_parse_with_base(parser, fileUri.c_str(), BaseFolder(baseUri).c_str(), FALSE);
    g_object_unref(parser);
    if (result != TOTEM_PL_PARSER_RESULT_SUCCESS) entries.clear();
  }
  g_unlink(path.get());
  std::vector<std::string> network;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(network), &IsNetworkUri);
  return network;
}

// A timer or idle source on a given main context; destroyed with the holder.
class TContextSource {
 public:
  TContextSource() = default;
  ~TContextSource() { Cancel(); }
  TContextSource(const TContextSource&) = delete;
  TContextSource& operator=(const TContextSource&) = delete;

  void Start(GMainContext* context, guint ms, GSourceFunc callback, gpointer data) {
    Cancel();
    source_ = g_timeout_source_new(ms);
    g_source_set_callback(source_, callback, data, nullptr);
    g_source_attach(source_, context);
  }
  void Cancel() {
    if (source_ != nullptr) {
      g_source_destroy(source_);
      g_source_unref(source_);
      source_ = nullptr;
    }
  }

 private:
  GSource* source_ = nullptr;
};

}  // namespace

// One playlist download, through whatever GStreamer source element handles
// the address (souphttpsrc for http and https).
struct TPlaylistFetch {
  TGstPtr<GstElement> Pipeline;
  TGstPtr<GstBus> Bus;
  TCandidate Candidate;
  TContextSource Timeout;
  std::mutex Mutex;  // Data and Full are filled on the streaming thread
  std::string Data;
  bool Full = false;
  std::string ContentType;  // main context only

  ~TPlaylistFetch() {
    if (Bus) gst_bus_remove_watch(Bus.get());
    if (Pipeline) gst_element_set_state(Pipeline.get(), GST_STATE_NULL);
  }
};

struct TWindowsMediaPlayer::TImpl {
  explicit TImpl(TWindowsMediaPlayer& owner) : Owner(owner) {}

  TWindowsMediaPlayer& Owner;
  GMainContext* Context = nullptr;
  TGstPtr<GstElement> Playbin;
  TGstPtr<GstBus> Bus;
  std::string Url;
  int Volume = 50;
  GstElement* AudioSink = nullptr;  // owned by Playbin; null without pulsesink
  std::string Device;
  bool DeviceCarriesVolume = false;  // Device plays to the speakers at the player's volume
  TPlayState State = TPlayState::Closed;

  // What reaches the sink: the stream at its own level where the sink's way
  // to the speakers applies the volume (so a recording of the sink holds
  // what the station sends), otherwise the stream at the player's volume.
  // Volume 0 (sound held back) is silence either way.
  double StreamVolume() const {
    if (Volume == 0) return 0;
    return DeviceCarriesVolume ? 1.0 : Volume / 100.0;
  }

  // The current attempt at the current URL. Generation changes whenever a
  // new attempt starts, so work queued for an old one can tell.
  unsigned Generation = 0;
  std::deque<TCandidate> Pending;
  std::set<std::string> Visited;
  std::set<std::string> Fetched;
  int Tried = 0;
  TCandidate Current;
  bool ReachedPlaying = false;
  std::string LastError;
  TContextSource OpenTimeout;
  std::unique_ptr<TPlaylistFetch> Fetch;

  // ---------------------------------------------------------------- state

  void SetState(TPlayState state) {
    if (State == state) return;
    State = state;
    if (auto notify = Owner.StatusChange) notify();
  }

  void ResetPlaybin() {
    OpenTimeout.Cancel();
    gst_element_set_state(Playbin.get(), GST_STATE_NULL);
    // Drop what the old media still had queued on the bus.
    gst_bus_set_flushing(Bus.get(), TRUE);
    gst_bus_set_flushing(Bus.get(), FALSE);
  }

  void EndAttempt() {
    ++Generation;
    Fetch.reset();
    ResetPlaybin();
    Pending.clear();
    Visited.clear();
    Fetched.clear();
    Tried = 0;
    Current = {};
    ReachedPlaying = false;
    LastError.clear();
  }

  void Open() {
    EndAttempt();
    Pending.push_back({PlayableUri(Url), 0});
    SetState(TPlayState::Opening);
    TryNext();
  }

  void Close() {
    EndAttempt();
    SetState(TPlayState::Closed);
  }

  void Stop() {
    EndAttempt();
    SetState(Url.empty() ? TPlayState::Closed : TPlayState::Stopped);
  }

  // Gives up on the link: MediaError, last thing done, because its handler
  // may well write URL again.
  void Fail() {
    TMediaErrorInfo info{Url, LastError.empty() ? std::string("the link could not be played") : LastError};
    std::fprintf(stderr, "wavecrate: cannot play %s: %s\n", Url.c_str(), info.Message.c_str());
    const unsigned generation = ++Generation;
    Fetch.reset();
    ResetPlaybin();
    SetState(TPlayState::Failed);
    if (generation != Generation) return;  // the status handler moved on
    if (auto handler = Owner.MediaError) handler(info);
  }

  // ---------------------------------------------------------------- playing

  void TryNext() {
    while (!Pending.empty()) {
      TCandidate next = Pending.front();
      Pending.pop_front();
      if (Visited.count(next.Uri) != 0) continue;
      if (Tried >= kMaxAddressesPerLink) break;
      Visited.insert(next.Uri);
      ++Tried;
      StartPlaybin(next);
      return;
    }
    Fail();
  }

  void StartPlaybin(const TCandidate& candidate) {
    Current = candidate;
    ResetPlaybin();
    // The sink is chosen afresh for every connection, in the NULL state in
    // which pulsesink takes a new device.
    if (AudioSink != nullptr) {
      Device = Owner.AudioDevice ? Owner.AudioDevice() : std::string();
      DeviceCarriesVolume = !Device.empty() && Owner.SinkCarriesVolume && Owner.SinkCarriesVolume(Device);
      g_object_set(AudioSink, "device", Device.empty() ? nullptr : Device.c_str(), nullptr);
    }
    g_object_set(Playbin.get(), "uri", candidate.Uri.c_str(), "volume", StreamVolume(), nullptr);
    OpenTimeout.Start(Context, kOpenTimeoutMs, &TImpl::OnOpenTimeout, this);
    gst_element_set_state(Playbin.get(), GST_STATE_PLAYING);
    // A failure posts an error on the bus, which moves on from there.
  }

  static gboolean OnOpenTimeout(gpointer data) {
    // Main context.
    auto* self = static_cast<TImpl*>(data);
    self->LastError = "no sound from " + self->Current.Uri + " in time";
    self->ResetPlaybin();
    self->TryNext();
    return G_SOURCE_REMOVE;
  }

  void OnError(GError* error, const gchar* debug) {
    LastError = error && error->message ? error->message : "playback error";
    if (debug != nullptr) LastError += std::string(" (") + debug + ")";
    ResetPlaybin();
    if (ReachedPlaying) {
      // The stream was playing and broke off: that is the link failing.
      Fail();
      return;
    }
    // A link that serves something playbin cannot decode may be a playlist;
    // an address that cannot be reached or is missing is not worth fetching.
    const bool unreachable = error != nullptr && error->domain == GST_RESOURCE_ERROR;
    if (!unreachable && Current.Depth < kMaxPlaylistDepth && Fetched.count(Current.Uri) == 0 &&
        StartFetch(Current)) {
      return;
    }
    TryNext();
  }

  static gboolean OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    // Main context.
    auto* self = static_cast<TImpl*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
      case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        self->OnError(error, debug);
        g_clear_error(&error);
        g_free(debug);
        break;
      }
      case GST_MESSAGE_EOS: {
        self->OpenTimeout.Cancel();
        // A file ends; a live stream that ends has broken off, which is the
        // link failing like any other error.
        gint64 duration = -1;
        if (!gst_element_query_duration(self->Playbin.get(), GST_FORMAT_TIME, &duration) || duration <= 0) {
          self->LastError = "the stream ended";
          self->Fail();
        } else {
          self->SetState(TPlayState::Ended);
        }
        break;
      }
      case GST_MESSAGE_STATE_CHANGED:
        if (GST_MESSAGE_SRC(message) == GST_OBJECT(self->Playbin.get())) {
          GstState oldState, newState, pending;
          gst_message_parse_state_changed(message, &oldState, &newState, &pending);
          if (newState == GST_STATE_PLAYING) {
            // A new connection to the sound server may have been given a
            // restored stream volume: the player's own one holds.
            if (!self->ReachedPlaying) {
              g_object_set(self->Playbin.get(), "volume", self->StreamVolume(), nullptr);
            }
            self->ReachedPlaying = true;
            self->OpenTimeout.Cancel();
            self->SetState(TPlayState::Playing);
          }
        }
        break;
      case GST_MESSAGE_BUFFERING: {
        // Radio servers send a burst of several seconds on connect, so a
        // stream starts as soon as it has prerolled: pausing to fill the
        // queue first only delays it, and the pause and resume of the sound
        // server's stream left an audible gap. Once it plays, it is never
        // paused to buffer either: on a busy machine the queue's level dips
        // for a moment whenever the network thread runs late (seen at 4% and
        // back to 100% within a millisecond), and each pause until the queue
        // was full again punched a hole of a tenth of a second or more into
        // the recording while sound was still queued. The sink keeps over
        // half a second on the server to ride out such dips; a stream that
        // really runs dry is silent until data comes back, which a pause
        // would have been too, but without waiting for a full queue.
        break;
      }
      case GST_MESSAGE_CLOCK_LOST:
        gst_element_set_state(self->Playbin.get(), GST_STATE_PAUSED);
        gst_element_set_state(self->Playbin.get(), GST_STATE_PLAYING);
        break;
      default:
        break;
    }
    return G_SOURCE_CONTINUE;
  }

  static void OnSourceSetup(GstElement*, GstElement* source, gpointer) {
    // Any thread (playbin emits it while opening): only sets properties.
    if (HasProperty(G_OBJECT(source), "timeout")) {
      g_object_set(source, "timeout", kSourceTimeoutSeconds, nullptr);
    }
  }

  // ---------------------------------------------------------------- playlists

  bool StartFetch(const TCandidate& candidate) {
    Fetched.insert(candidate.Uri);
    TGErrorPtr error;
    auto source =
        AdoptGst(gst_element_make_from_uri(GST_URI_SRC, candidate.Uri.c_str(), nullptr, error.Out()));
    auto sink = AdoptGst(gst_element_factory_make("appsink", nullptr));
    auto pipeline = AdoptGst(gst_pipeline_new("wavecrate-playlist-fetch"));
    if (!source || !sink || !pipeline) return false;
    if (HasProperty(G_OBJECT(source.get()), "timeout")) {
      g_object_set(source.get(), "timeout", kSourceTimeoutSeconds, nullptr);
    }
    g_object_set(sink.get(), "sync", FALSE, "emit-signals", FALSE, nullptr);
    // The bin takes references of its own; the handles keep theirs.
    gst_bin_add_many(GST_BIN(pipeline.get()), source.get(), sink.get(), nullptr);
    if (!gst_element_link(source.get(), sink.get())) return false;

    auto fetch = std::make_unique<TPlaylistFetch>();
    fetch->Candidate = candidate;
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &TImpl::OnFetchSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, fetch.get(), nullptr);
    fetch->Bus = AdoptGst(gst_element_get_bus(pipeline.get()));
    gst_bus_add_watch(fetch->Bus.get(), &TImpl::OnFetchMessage, this);
    fetch->Timeout.Start(Context, kFetchTimeoutMs, &TImpl::OnFetchTimeout, this);
    fetch->Pipeline = std::move(pipeline);
    Fetch = std::move(fetch);
    if (gst_element_set_state(Fetch->Pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
      Fetch.reset();
      return false;
    }
    return true;
  }

  static GstFlowReturn OnFetchSample(GstAppSink* sink, gpointer data) {
    // Streaming thread of the fetch pipeline.
    auto* fetch = static_cast<TPlaylistFetch*>(data);
    TGstPtr<GstSample> sample = AdoptGst(gst_app_sink_pull_sample(sink));
    GstBuffer* buffer = sample ? gst_sample_get_buffer(sample.get()) : nullptr;
    if (buffer == nullptr) return GST_FLOW_OK;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return GST_FLOW_ERROR;
    bool full = false;
    {
      std::lock_guard<std::mutex> lock(fetch->Mutex);
      const std::size_t room = kMaxPlaylistBytes - std::min(kMaxPlaylistBytes, fetch->Data.size());
      fetch->Data.append(reinterpret_cast<const char*>(map.data), std::min<std::size_t>(room, map.size));
      if (map.size >= room && !fetch->Full) full = fetch->Full = true;
    }
    gst_buffer_unmap(buffer, &map);
    if (full) {
      gst_element_post_message(
          GST_ELEMENT(sink), gst_message_new_application(GST_OBJECT(sink), gst_structure_new_empty("full")));
      return GST_FLOW_EOS;
    }
    return GST_FLOW_OK;
  }

  static gboolean OnFetchMessage(GstBus*, GstMessage* message, gpointer data) {
    // Main context.
    auto* self = static_cast<TImpl*>(data);
    if (!self->Fetch) return G_SOURCE_REMOVE;
    switch (GST_MESSAGE_TYPE(message)) {
      case GST_MESSAGE_ELEMENT: {
        // souphttpsrc reports the reply's headers; the type names the
        // playlist format when the address does not.
        const GstStructure* s = gst_message_get_structure(message);
        if (s != nullptr && gst_structure_has_name(s, "http-headers")) {
          const GValue* headers = gst_structure_get_value(s, "response-headers");
          if (headers != nullptr && GST_VALUE_HOLDS_STRUCTURE(headers)) {
            const GstStructure* h = gst_value_get_structure(headers);
            for (const char* name : {"Content-Type", "content-type"}) {
              const gchar* type = gst_structure_get_string(h, name);
              if (type != nullptr) self->Fetch->ContentType = type;
            }
          }
        }
        return G_SOURCE_CONTINUE;
      }
      case GST_MESSAGE_EOS:
      case GST_MESSAGE_APPLICATION:
        self->FinishFetch(true);
        return G_SOURCE_REMOVE;
      case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        self->LastError = error && error->message ? error->message : "playlist fetch failed";
        g_clear_error(&error);
        self->FinishFetch(false);
        return G_SOURCE_REMOVE;
      }
      default:
        return G_SOURCE_CONTINUE;
    }
  }

  static gboolean OnFetchTimeout(gpointer data) {
    // Main context.
    auto* self = static_cast<TImpl*>(data);
    self->LastError = "the link took too long to load";
    self->FinishFetch(false);
    return G_SOURCE_REMOVE;
  }

  void FinishFetch(bool complete) {
    std::unique_ptr<TPlaylistFetch> fetch = std::move(Fetch);
    if (!fetch) return;
    gst_element_set_state(fetch->Pipeline.get(), GST_STATE_NULL);
    std::vector<std::string> entries;
    if (complete) {
      std::string data;
      {
        std::lock_guard<std::mutex> lock(fetch->Mutex);
        data = fetch->Data;
      }
      entries = ParsePlaylist(data, fetch->Candidate.Uri, fetch->ContentType);
      if (entries.empty()) LastError = "the link serves neither sound nor a playlist of sound";
    }
    // Entries go first, in their order, so a playlist's first stream plays.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      Pending.push_front({*it, fetch->Candidate.Depth + 1});
    }
    fetch.reset();
    TryNext();
  }
};

// ---------------------------------------------------------------- public

TWindowsMediaPlayer::TWindowsMediaPlayer() : impl_(std::make_unique<TImpl>(*this)) {
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  impl_->Context = g_main_context_ref_thread_default();
  impl_->Playbin = AdoptGst(gst_element_factory_make("playbin", nullptr));
  if (!impl_->Playbin) {
    std::fprintf(stderr, "wavecrate: GStreamer's playbin is missing; streams cannot play\n");
    impl_->Playbin = AdoptGst(gst_pipeline_new("no-playbin"));
  } else {
    guint flags = 0;
    g_object_get(impl_->Playbin.get(), "flags", &flags, nullptr);
    flags &= ~(kPlayFlagVideo | kPlayFlagText | kPlayFlagVis);
    g_object_set(impl_->Playbin.get(), "flags", flags, "volume", impl_->StreamVolume(), nullptr);
    // pulsesink without a device plays where PULSE_SINK, when set, points;
    // AudioDevice may name another sink for each connection.
    if (GstElement* sink = gst_element_factory_make("pulsesink", nullptr)) {
      // A second of sound waiting on the server, handed over a tenth at a
      // time: the stream goes on being heard (and recorded) through a second
      // in which a busy machine does not run this process, and the player
      // wakes ten times a second rather than a hundred. Latency does not
      // matter here: volume and stop act on the server at once.
      //
      // The sink hands sound over as it comes instead of at the instant its
      // timestamp names. A live stream arrives at its own pace, never ahead
      // of it: a sink that kept time dropped every sample that came late,
      // and since the player never pauses to buffer, late stayed late for
      // good. An Ogg stream shows it first: its sound comes a whole page (a
      // second or so) at a time, so it starts with no lead at all, and a
      // sender a little slow or a moment's hold-up on a busy machine left
      // each page cut short, then silent, for the rest of the show. Unsynced,
      // sound that comes late is played late, and what is missing is a gap
      // of just that length. Files and playlists served faster than real
      // time still play at the sound server's pace: the sink waits for room.
      g_object_set(sink, "buffer-time", static_cast<gint64>(1000000), "latency-time",
                   static_cast<gint64>(100000), "sync", FALSE, nullptr);
      impl_->AudioSink = sink;
      g_object_set(impl_->Playbin.get(), "audio-sink", sink, nullptr);
    }
    g_signal_connect(impl_->Playbin.get(), "source-setup", G_CALLBACK(&TImpl::OnSourceSetup), nullptr);
  }
  impl_->Bus = AdoptGst(gst_element_get_bus(impl_->Playbin.get()));
  gst_bus_add_watch(impl_->Bus.get(), &TImpl::OnBusMessage, impl_.get());
}

TWindowsMediaPlayer::~TWindowsMediaPlayer() {
  impl_->Fetch.reset();
  impl_->OpenTimeout.Cancel();
  gst_bus_remove_watch(impl_->Bus.get());
  gst_element_set_state(impl_->Playbin.get(), GST_STATE_NULL);
  g_main_context_unref(impl_->Context);
}

const std::string& TWindowsMediaPlayer::URL() const {
  return impl_->Url;
}

void TWindowsMediaPlayer::SetURL(const std::string& url) {
  impl_->Url = url;
  if (url.empty()) {
    impl_->Close();
  } else {
    impl_->Open();  // auto start
  }
}

void TWindowsMediaPlayer::TControls::play() {
  TImpl& impl = *owner_.impl_;
  if (impl.Url.empty()) return;
  if (impl.State == TPlayState::Opening || impl.State == TPlayState::Playing) {
    return;
  }
  impl.Open();
}

void TWindowsMediaPlayer::TControls::stop() {
  owner_.impl_->Stop();
}

int TWindowsMediaPlayer::Volume() const {
  return impl_->Volume;
}

void TWindowsMediaPlayer::SetVolume(int volume) {
  impl_->Volume = std::clamp(volume, 0, 100);
  if (HasProperty(G_OBJECT(impl_->Playbin.get()), "volume")) {
    g_object_set(impl_->Playbin.get(), "volume", impl_->StreamVolume(), nullptr);
  }
}

TPlayState TWindowsMediaPlayer::PlayState() const {
  return impl_->State;
}

std::string TWindowsMediaPlayer::CurrentMediaURL() const {
  return impl_->Current.Uri;
}

std::string TWindowsMediaPlayer::CurrentAudioDevice() const {
  return impl_->Device;
}

}  // namespace wavecrate
