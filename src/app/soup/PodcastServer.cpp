#include "app/soup/PodcastServer.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <ifaddrs.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <thread>

#include "app/PodcastFeed.h"
#include "app/RecordingHistory.h"
#include "common/Thread.h"

namespace wavecrate {

namespace {

// How many recordings of the history the feeds offer, newest first.
constexpr std::size_t kFeedRecordings = 1000;
// A body goes out in blocks of this size, each read when the last was sent.
constexpr std::size_t kBodyBlock = 64 * 1024;
// Connections the system holds for us while the server is full: room for a
// few hundred callers at once (the system caps it at its somaxconn).
constexpr int kListenBacklog = 256;

constexpr char kNotFound[] = "Not found\n";

// The part of a Host header that may go into the feed's links; anything
// else and the links name the address the request came in on.
bool PlainHost(const char* host) {
  if (host == nullptr || *host == '\0' || std::strlen(host) > 255) return false;
  for (const char* p = host; *p; ++p) {
    const char c = *p;
    if (!(g_ascii_isalnum(c) || c == '.' || c == ':' || c == '-' || c == '[' || c == ']')) return false;
  }
  return true;
}

// What the server and its connections share. A connection may outlive the
// server by a little (its last reference goes when libsoup is done with it).
// Everything but `Open` belongs to the server's thread.
struct TShared {
  std::atomic<unsigned> Open{0};
  unsigned MaxConnections = 0;
  // The sockets of the open connections by their peer's address: libsoup
  // does not hand out the socket of a connection it was given, and a
  // connection must be cut at times (a request too slow, a file cut short).
  std::map<std::string, GSocket*> Sockets;
  // Stopped while the server is full, started again when a connection goes;
  // null once the server stops.
  GSocketService* Service = nullptr;
};

std::string AddressKey(GSocketAddress* address) {
  if (!G_IS_INET_SOCKET_ADDRESS(address)) return "";
  gchar* text = g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
  std::string key = std::string(text) + "/" +
                    std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address)));
  g_free(text);
  return key;
}

// The message's connection's socket, with a reference of its own; nullptr
// when it is gone already.
GSocket* SocketOf(TShared& shared, SoupServerMessage* msg) {
  const auto found = shared.Sockets.find(AddressKey(soup_server_message_get_remote_address(msg)));
  return found == shared.Sockets.end() ? nullptr : G_SOCKET(g_object_ref(found->second));
}

void Cut(GSocket* socket) {
  if (socket != nullptr) g_socket_shutdown(socket, TRUE, TRUE, nullptr);
}

struct TBodyStream {
  ~TBodyStream() {
    if (Socket != nullptr) g_object_unref(Socket);
  }
  GSocket* Socket = nullptr;
  std::unique_ptr<TEpisodeReader> Reader;
  std::uint64_t Next = 0;
  std::uint64_t End = 0;  // exclusive
};

// The deadline for one request's headers.
struct THeaderWatch {
  GSocket* Socket = nullptr;
  GSource* Timer = nullptr;
  void Cancel() const {
    if (Timer != nullptr) g_source_destroy(Timer);
  }
  ~THeaderWatch() {
    Cancel();
    if (Timer != nullptr) g_source_unref(Timer);
    if (Socket != nullptr) g_object_unref(Socket);
  }
};

void AppendNextBlock(SoupServerMessage* msg, gpointer data) {
  auto* stream = static_cast<TBodyStream*>(data);
  SoupMessageBody* body = soup_server_message_get_response_body(msg);
  if (stream->Next >= stream->End) {
    soup_message_body_complete(body);
    return;
  }
  const auto count =
      static_cast<std::size_t>(std::min<std::uint64_t>(kBodyBlock, stream->End - stream->Next));
  const std::vector<std::uint8_t> block = stream->Reader->Read(stream->Next, count);
  if (block.size() < count) {
    // The file lost its end since the answer's length was promised: the
    // client sees a cut connection, never bytes of something else.
    Cut(stream->Socket);
    if (block.empty()) return;
  }
  stream->Next += block.size();
  GBytes* bytes = g_bytes_new(block.data(), block.size());
  soup_message_body_append_bytes(body, bytes);
  g_bytes_unref(bytes);
}

}  // namespace

struct TPodcastServer::TImpl {
  TPodcastServerOptions Options;
  // The server's thread and its loop; every GLib object below is made, used
  // and freed on that thread alone.
  std::thread Thread;
  GMainContext* Context = nullptr;
  GMainLoop* Loop = nullptr;
  SoupServer* Server = nullptr;
  GSocketService* Service = nullptr;
  std::uint16_t Port = 0;
  // Shared with the connections' finalizers, which may come after the
  // server is gone.
  std::shared_ptr<TShared> Shared = std::make_shared<TShared>();

  // The servable recordings, read again when the history file changes.
  std::vector<TPodcastEpisode> Episodes;
  struct stat Stamp {};
  bool HaveStamp = false;

  void Refresh() {
    struct stat now {};
    if (stat(Options.HistoryPath.c_str(), &now) != 0) {
      Episodes.clear();
      HaveStamp = false;
      return;
    }
    if (HaveStamp && now.st_size == Stamp.st_size && now.st_ino == Stamp.st_ino &&
        now.st_mtim.tv_sec == Stamp.st_mtim.tv_sec && now.st_mtim.tv_nsec == Stamp.st_mtim.tv_nsec) {
      return;
    }
    Episodes = PodcastEpisodes(ReadRecentRecordings(Options.HistoryPath, kFeedRecordings));
    Stamp = now;
    HaveStamp = true;
  }

  static void NotFound(SoupServerMessage* msg) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    soup_server_message_set_response(msg, "text/plain; charset=utf-8", SOUP_MEMORY_STATIC, kNotFound,
                                     sizeof kNotFound - 1);
  }

  std::string Base(SoupServerMessage* msg) const {
    const char* host = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
    std::string authority;
    if (PlainHost(host)) {
      authority = host;
    } else {
      authority = "127.0.0.1:" + std::to_string(Port);
      if (GSocketAddress* local = soup_server_message_get_local_address(msg);
          G_IS_INET_SOCKET_ADDRESS(local)) {
        GInetAddress* address = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(local));
        gchar* text = g_inet_address_to_string(address);
        const bool six = g_inet_address_get_family(address) == G_SOCKET_FAMILY_IPV6;
        authority = (six ? "[" + std::string(text) + "]" : std::string(text)) + ":" + std::to_string(Port);
        g_free(text);
      }
    }
    return "http://" + authority + "/" + Options.Token;
  }

  void Handle(SoupServerMessage* msg) {
    const char* method = soup_server_message_get_method(msg);
    const bool head = method == SOUP_METHOD_HEAD;
    GUri* uri = soup_server_message_get_uri(msg);
    const char* path = uri != nullptr ? g_uri_get_path(uri) : "";
    // The history is looked at for every request, so that a wrong token
    // costs the same time as an unknown recording.
    Refresh();
    const TPodcastRoute route = RoutePodcastPath(path != nullptr ? path : "", Options.Token);
    const TPodcastEpisode* episode = nullptr;
    bool showKnown = false;
    for (const TPodcastEpisode& e : Episodes) {
      if (route.Kind == TPodcastRoute::TKind::Episode && e.Key == route.Key) episode = &e;
      if (route.Kind == TPodcastRoute::TKind::ShowFeed && e.ShowKey == route.Key) showKnown = true;
    }
    if ((method != SOUP_METHOD_GET && !head) || route.Kind == TPodcastRoute::TKind::NotFound ||
        (route.Kind == TPodcastRoute::TKind::ShowFeed && !showKnown) ||
        (route.Kind == TPodcastRoute::TKind::Episode && episode == nullptr)) {
      NotFound(msg);
      return;
    }
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    // Tags the answer; true (and a 304 set) when the client holds it already.
    const auto notModified = [&](const std::string& tag) {
      soup_message_headers_replace(out, "ETag", tag.c_str());
      const char* held = soup_message_headers_get_one(in, "If-None-Match");
      if (held == nullptr || !IfNoneMatchNames(held, tag)) return false;
      soup_server_message_set_status(msg, SOUP_STATUS_NOT_MODIFIED, nullptr);
      return true;
    };
    if (route.Kind != TPodcastRoute::TKind::Episode) {
      const std::string xml =
          PodcastFeedXml(Base(msg), Episodes, route.Kind == TPodcastRoute::TKind::ShowFeed ? route.Key : "");
      soup_message_headers_replace(out, "Cache-Control", "no-cache");
      if (notModified(FeedEntityTag(xml))) return;
      soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
      soup_server_message_set_response(msg, "application/rss+xml; charset=utf-8", SOUP_MEMORY_COPY,
                                       xml.data(), xml.size());
      return;
    }
    auto stream = std::make_unique<TBodyStream>();
    stream->Socket = SocketOf(*Shared, msg);
    stream->Reader = std::make_unique<TEpisodeReader>(*episode);
    if (!stream->Reader->Open()) {
      NotFound(msg);
      return;
    }
    const std::string tag = EpisodeEntityTag(*episode);
    if (notModified(tag)) return;
    const std::uint64_t size = episode->Size();
    const char* rangeHeader = soup_message_headers_get_one(in, "Range");
    // A range of a body the client no longer holds would not fit with its
    // part: the whole body instead, as If-Range asks.
    const char* ifRange = soup_message_headers_get_one(in, "If-Range");
    if (ifRange != nullptr && tag != ifRange) rangeHeader = nullptr;
    const TByteRange range = ParseByteRange(rangeHeader != nullptr ? rangeHeader : "", size);
    soup_message_headers_replace(out, "Accept-Ranges", "bytes");
    if (range.Kind == TByteRange::TKind::Unsatisfiable) {
      soup_server_message_set_status(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, nullptr);
      soup_message_headers_replace(out, "Content-Range", ("bytes */" + std::to_string(size)).c_str());
      soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, "", 0);
      return;
    }
    stream->Next = range.Kind == TByteRange::TKind::Partial ? range.First : 0;
    stream->End = range.Kind == TByteRange::TKind::Partial ? range.Last + 1 : size;
    if (range.Kind == TByteRange::TKind::Partial) {
      soup_server_message_set_status(msg, SOUP_STATUS_PARTIAL_CONTENT, nullptr);
      const std::string contentRange = "bytes " + std::to_string(range.First) + "-" +
                                       std::to_string(range.Last) + "/" + std::to_string(size);
      soup_message_headers_replace(out, "Content-Range", contentRange.c_str());
    } else {
      soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    }
    soup_message_headers_set_content_type(out, "audio/mpeg", nullptr);
    soup_message_headers_set_content_length(out, static_cast<goffset>(stream->End - stream->Next));
    if (head) return;
    soup_message_body_set_accumulate(soup_server_message_get_response_body(msg), FALSE);
    TBodyStream* raw = stream.release();
    g_object_set_data_full(G_OBJECT(msg), "wavecrate-body", raw,
                           [](gpointer p) { delete static_cast<TBodyStream*>(p); });
    g_signal_connect(msg, "wrote-chunk", G_CALLBACK(AppendNextBlock), raw);
    AppendNextBlock(msg, raw);
  }

  static void OnRequest(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self) {
    static_cast<TImpl*>(self)->Handle(msg);
  }

  static void StopWatch(SoupServerMessage* msg, gpointer) {
    auto* watch = static_cast<THeaderWatch*>(g_object_get_data(G_OBJECT(msg), "wavecrate-header-watch"));
    if (watch != nullptr) watch->Cancel();
  }

  static void OnRequestStarted(SoupServer*, SoupServerMessage* msg, gpointer self) {
    auto* impl = static_cast<TImpl*>(self);
    // libsoup keeps a connection open for another request only on a server
    // that listens through it, which ours does not (it is given connections),
    // so every connection closes after one answer. Saying so keeps a client
    // from sending a second request down it, which would meet a reset.
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection", "close");
    // The watch lives as long as the message and takes its timer with it, so
    // the timer never keeps a message (and its connection) alive.
    auto* watch = new THeaderWatch;
    watch->Socket = SocketOf(*impl->Shared, msg);
    // On the server thread's main context, as the connections' sources are,
    // not the process's default one.
    GSource* timer = g_timeout_source_new_seconds(impl->Options.HeaderSeconds);
    g_source_set_callback(
        timer,
        [](gpointer data) -> gboolean {
          Cut(static_cast<THeaderWatch*>(data)->Socket);
          return G_SOURCE_REMOVE;
        },
        watch, nullptr);
    g_source_attach(timer, impl->Context);
    watch->Timer = timer;
    g_object_set_data_full(G_OBJECT(msg), "wavecrate-header-watch", watch,
                           [](gpointer p) { delete static_cast<THeaderWatch*>(p); });
    g_signal_connect(msg, "got-headers", G_CALLBACK(StopWatch), nullptr);
    g_signal_connect(msg, "finished", G_CALLBACK(StopWatch), nullptr);
  }

  bool Listen(std::string* error);
  void Close();
  // The thread's body: listens, tells `started` how that went, and serves
  // until Stop.
  void Run(std::promise<std::optional<std::string>>* started);
  // Runs `work` on the server's thread and waits for it.
  void OnServerThread(const std::function<void()>& work);

  static gboolean OnIncoming(GSocketService* service, GSocketConnection* connection, GObject*,
                             gpointer self) {
    auto* impl = static_cast<TImpl*>(self);
    TShared& shared = *impl->Shared;
    GSocket* socket = g_socket_connection_get_socket(connection);
    g_socket_set_timeout(socket, impl->Options.IdleSeconds);
    // Full: the next callers wait in the listen queue, not refused.
    if (shared.Open.fetch_add(1) + 1 >= shared.MaxConnections) g_socket_service_stop(service);
    struct TGone {
      std::shared_ptr<TShared> Shared;
      std::string Key;
    };
    GSocketAddress* peer = g_socket_connection_get_remote_address(connection, nullptr);
    auto* gone = new TGone{impl->Shared, peer != nullptr ? AddressKey(peer) : ""};
    if (peer != nullptr) g_object_unref(peer);
    shared.Sockets[gone->Key] = socket;
    g_object_weak_ref(
        G_OBJECT(connection),
        [](gpointer data, GObject*) {
          auto* g = static_cast<TGone*>(data);
          TShared& s = *g->Shared;
          s.Sockets.erase(g->Key);
          s.Open.fetch_sub(1);
          // Room again: the callers waiting in the listen queue are taken.
          if (s.Service != nullptr && !g_socket_service_is_active(s.Service))
            g_socket_service_start(s.Service);
          delete g;
        },
        gone);
    GSocketAddress* local = g_socket_connection_get_local_address(connection, nullptr);
    GSocketAddress* remote = g_socket_connection_get_remote_address(connection, nullptr);
    GError* error = nullptr;
    if (!soup_server_accept_iostream(impl->Server, G_IO_STREAM(connection), local, remote, &error)) {
      std::cerr << "wavecrate: podcast connection not taken: " << (error ? error->message : "?") << '\n';
      g_clear_error(&error);
      g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    }
    if (local) g_object_unref(local);
    if (remote) g_object_unref(remote);
    return TRUE;
  }
};

TPodcastServer::TPodcastServer(TPodcastServerOptions options) : impl_(std::make_unique<TImpl>()) {
  impl_->Options = std::move(options);
}

TPodcastServer::~TPodcastServer() {
  Stop();
}

// On the server's thread.
bool TPodcastServer::TImpl::Listen(std::string* error) {
  GError* gerror = nullptr;
  GSocketService* service = g_socket_service_new();
  // Before any address is added: each socket takes the backlog it is made with.
  g_socket_listener_set_backlog(G_SOCKET_LISTENER(service), kListenBacklog);
  std::uint16_t port = Options.Port;
  bool ok = false;
  if (Options.LoopbackOnly) {
    GSocketAddress* address = g_inet_socket_address_new_from_string("127.0.0.1", port);
    GSocketAddress* effective = nullptr;
    ok = g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM,
                                       G_SOCKET_PROTOCOL_TCP, nullptr, &effective, &gerror);
    if (ok) port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(effective));
    if (effective) g_object_unref(effective);
    g_object_unref(address);
  } else if (port == 0) {
    port = g_socket_listener_add_any_inet_port(G_SOCKET_LISTENER(service), nullptr, &gerror);
    ok = port != 0;
  } else {
    ok = g_socket_listener_add_inet_port(G_SOCKET_LISTENER(service), port, nullptr, &gerror);
  }
  if (!ok) {
    *error = gerror != nullptr ? gerror->message : "the port cannot be listened on";
    g_clear_error(&gerror);
    g_object_unref(service);
    return false;
  }
  Port = port;
  Server = soup_server_new("raw-paths", TRUE, "server-header", "Wavecrate", nullptr);
  soup_server_add_handler(Server, nullptr, &TImpl::OnRequest, this, nullptr);
  g_signal_connect(Server, "request-started", G_CALLBACK(&TImpl::OnRequestStarted), this);
  Service = service;
  Shared->MaxConnections = std::max(Options.MaxConnections, 1u);
  Shared->Service = service;
  g_signal_connect(service, "incoming", G_CALLBACK(&TImpl::OnIncoming), this);
  g_socket_service_start(service);
  return true;
}

// On the server's thread.
void TPodcastServer::TImpl::Close() {
  Shared->Service = nullptr;
  if (Service != nullptr) {
    g_socket_service_stop(Service);
    g_socket_listener_close(G_SOCKET_LISTENER(Service));
    g_signal_handlers_disconnect_by_data(Service, this);
    g_object_unref(Service);
    Service = nullptr;
  }
  if (Server != nullptr) {
    g_signal_handlers_disconnect_by_data(Server, this);
    soup_server_disconnect(Server);
    g_object_unref(Server);
    Server = nullptr;
  }
}

void TPodcastServer::TImpl::Run(std::promise<std::optional<std::string>>* started) {
  // Serving never comes before a recording. Threads started from here
  // inherit this; GLib's shared ones, on which graphs stream, were made
  // earlier at the program's priority (EnsureGstInitialized).
  LowerThisThreadsPriority();
  g_main_context_push_thread_default(Context);
  std::string error;
  if (Listen(&error)) {
    started->set_value(std::nullopt);  // `started` is gone from here on
    g_main_loop_run(Loop);
    Close();
  } else {
    started->set_value(error);
  }
  // The connections' last references and their sources go here, on the
  // thread whose objects they are.
  while (g_main_context_iteration(Context, FALSE)) {
  }
  g_main_context_pop_thread_default(Context);
}

void TPodcastServer::TImpl::OnServerThread(const std::function<void()>& work) {
  struct TJob {
    const std::function<void()>* Work;
    std::promise<void> Done;
  } job{&work, {}};
  std::future<void> done = job.Done.get_future();
  g_main_context_invoke(
      Context,
      [](gpointer data) -> gboolean {
        auto* j = static_cast<TJob*>(data);
        (*j->Work)();
        j->Done.set_value();
        return G_SOURCE_REMOVE;
      },
      &job);
  done.wait();
}

bool TPodcastServer::Start(std::string* error) {
  if (Running()) return true;
  TImpl& d = *impl_;
  d.Context = g_main_context_new();
  d.Loop = g_main_loop_new(d.Context, FALSE);
  std::promise<std::optional<std::string>> started;
  std::future<std::optional<std::string>> result = started.get_future();
  d.Thread = std::thread([&d, &started] { d.Run(&started); });
  const std::optional<std::string> failed = result.get();
  if (failed) {
    d.Thread.join();
    g_main_loop_unref(d.Loop);
    g_main_context_unref(d.Context);
    d.Loop = nullptr;
    d.Context = nullptr;
    if (error) *error = *failed;
    return false;
  }
  return true;
}

void TPodcastServer::Stop() {
  TImpl& d = *impl_;
  if (!d.Thread.joinable()) return;
  // Through the loop rather than g_main_loop_quit from here, so that it also
  // ends a loop that has not yet begun to run.
  d.OnServerThread([&d] { g_main_loop_quit(d.Loop); });
  d.Thread.join();
  g_main_loop_unref(d.Loop);
  g_main_context_unref(d.Context);
  d.Loop = nullptr;
  d.Context = nullptr;
}

bool TPodcastServer::Running() const {
  return impl_->Thread.joinable();
}

std::uint16_t TPodcastServer::Port() const {
  return impl_->Port;
}

void TPodcastServer::SetToken(const std::string& token) {
  TImpl& d = *impl_;
  if (!d.Thread.joinable()) {
    d.Options.Token = token;
    return;
  }
  d.OnServerThread([&d, &token] { d.Options.Token = token; });
}

unsigned TPodcastServer::Connections() const {
  return impl_->Shared->Open.load();
}

std::vector<std::string> LanAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) addresses.emplace_back(text);
  }
  freeifaddrs(list);
  return addresses;
}

}  // namespace wavecrate
