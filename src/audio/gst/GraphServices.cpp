#include "audio/gst/GraphServices.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "audio/EncoderPlan.h"

namespace wavecrate {
namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr Ms kBusSlice{100};

// A deadline that survives "wait practically forever" time-outs.
SteadyClock::time_point DeadlineAfter(Ms timeout) {
  const auto now = SteadyClock::now();
  const auto room = std::chrono::duration_cast<Ms>(SteadyClock::time_point::max() - now);
  return timeout >= room ? SteadyClock::time_point::max() : now + timeout;
}

GstClockTime SliceUntil(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now());
  const Ms slice = left < kBusSlice ? (left.count() > 0 ? left : Ms{0}) : kBusSlice;
  return static_cast<GstClockTime>(slice.count()) * GST_MSECOND;
}

}  // namespace

bool EnsureGstInitialized() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    TGErrorPtr error;
    ok = gst_init_check(nullptr, nullptr, error.Out());
    if (!ok) std::fprintf(stderr, "gstreamer: initialisation failed: %s\n", error.Message());
    // GLib's shared thread pool, on which every graph's streaming threads
    // run, takes the priority of the thread that first makes such a pool.
    // Had a low-priority thread (the podcast server's, the editing
    // services') come first, every capture and player would have run at its
    // priority too, and the editing services then measured recordings at
    // 0 s. Made here, from the caller, its threads run at its priority.
    g_thread_pool_free(g_thread_pool_new([](gpointer, gpointer) {}, nullptr, 1, FALSE, nullptr), TRUE, FALSE);
  });
  return ok;
}

TGstPtr<GstElement> MakeElement(const char* factory, const char* name) {
  if (!EnsureGstInitialized()) return {};
  TGstPtr<GstElement> e = AdoptGst(gst_element_factory_make(factory, name));
  if (!e) std::fprintf(stderr, "gstreamer: no element \"%s\" (is its plugin installed?)\n", factory);
  return e;
}

TGstPtr<GstElement> CreateFileSink(const std::string& path, TFileSinkMode mode, const char* name) {
  TGstPtr<GstElement> sink = MakeElement("filesink", name);
  if (!sink) return sink;
  g_object_set(sink.get(), "location", path.c_str(), nullptr);
  if (mode == TFileSinkMode::Recording) {
    // 4 KiB is about a quarter of a second of a 128 kbit/s stream: what a
    // crash can cost, instead of filesink's usual 64 KiB (four seconds).
    gst_util_set_object_arg(G_OBJECT(sink.get()), "buffer-mode", "full");
    g_object_set(sink.get(), "buffer-size", 4096u, nullptr);
  }
  return sink;
}

TGErrorPtr MessageError(GstMessage* message, TGCharPtr* debug) {
  TGErrorPtr error;
  TGCharPtr details;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(message, error.Out(), details.Out());
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
    gst_message_parse_warning(message, error.Out(), details.Out());
  }
  if (debug) *debug = std::move(details);
  return error;
}

std::string DescribeError(GstMessage* message) {
  if (!message) return "";
  TGCharPtr debug;
  const TGErrorPtr error = MessageError(message, &debug);
  if (!error) return GST_MESSAGE_TYPE_NAME(message);
  std::string text = error.Message();
  const char* source = GST_MESSAGE_SRC_NAME(message);
  text += " (";
  text += source ? source : "?";
  if (debug) {
    text += ": ";
    text += debug.c_str();
  }
  text += ")";
  return text;
}

// ---------------------------------------------------------------- TGraph

TGraph::TGraph(const char* name) {
  if (EnsureGstInitialized()) pipeline_ = AdoptGst(gst_pipeline_new(name));
}

TGraph::~TGraph() {
  SetNull();
}

bool TGraph::Add(const TGstPtr<GstElement>& element) {
  if (!pipeline_ || !element) return false;
  if (!gst_bin_add(Bin(), element.get())) {
    std::fprintf(stderr, "gstreamer: could not add %s to the pipeline\n", GST_ELEMENT_NAME(element.get()));
    return false;
  }
  return true;
}

bool TGraph::AddAndLink(std::initializer_list<const TGstPtr<GstElement>*> chain) {
  GstElement* previous = nullptr;
  for (const TGstPtr<GstElement>* e : chain) {
    if (!e || !*e || !Add(*e)) return false;
    if (previous && !gst_element_link(previous, e->get())) {
      std::fprintf(stderr, "gstreamer: could not link %s to %s\n", GST_ELEMENT_NAME(previous),
                   GST_ELEMENT_NAME(e->get()));
      return false;
    }
    previous = e->get();
  }
  return true;
}

bool TGraph::Run(Ms prerollTimeout, std::string* error, TGstPtr<GstMessage>* errorMessage) {
  if (!pipeline_) return false;
  ran_ = true;
  const GstStateChangeReturn ret = gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
  TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(pipeline_.get()));
  if (ret == GST_STATE_CHANGE_FAILURE) {
    TGstPtr<GstMessage> m = AdoptGst(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    const std::string text = m ? DescribeError(m.get()) : "the pipeline would not start";
    std::fprintf(stderr, "gstreamer: %s\n", text.c_str());
    if (error) *error = text;
    if (errorMessage) *errorMessage = m;
    SetNull();
    return false;
  }
  if (ret != GST_STATE_CHANGE_ASYNC) return true;
  // Wait for the preroll (or its failure) without blocking on get_state.
  const auto deadline = DeadlineAfter(prerollTimeout);
  while (SteadyClock::now() < deadline) {
    TGstPtr<GstMessage> m = AdoptGst(gst_bus_timed_pop_filtered(
        bus.get(), SliceUntil(deadline),
        static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_EOS)));
    if (!m) continue;
    if (GST_MESSAGE_TYPE(m.get()) == GST_MESSAGE_ERROR) {
      const std::string text = DescribeError(m.get());
      std::fprintf(stderr, "gstreamer: %s\n", text.c_str());
      if (error) *error = text;
      if (errorMessage) *errorMessage = m;
      SetNull();
      return false;
    }
    if (GST_MESSAGE_TYPE(m.get()) == GST_MESSAGE_EOS) {
      // A stream shorter than the preroll: leave the EOS for WaitForEnd.
      gst_bus_post(bus.get(), m.release());
    }
    return true;
  }
  std::fprintf(stderr, "gstreamer: the pipeline did not preroll within %lld ms; still waiting for data\n",
               static_cast<long long>(prerollTimeout.count()));
  return true;
}

TGraphEnd TGraph::WaitForEnd(Ms timeout, const std::atomic<bool>* cancel, std::string* error,
                             TProgress progress, void* context) {
  if (!pipeline_) return TGraphEnd::Error;
  TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(pipeline_.get()));
  const auto deadline = DeadlineAfter(timeout);
  for (;;) {
    if (cancel && cancel->load()) return TGraphEnd::Cancelled;
    TGstPtr<GstMessage> m = AdoptGst(gst_bus_timed_pop_filtered(
        bus.get(), SliceUntil(deadline), static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS)));
    if (m && GST_MESSAGE_TYPE(m.get()) == GST_MESSAGE_EOS) return TGraphEnd::Eos;
    if (m) {
      const std::string text = DescribeError(m.get());
      std::fprintf(stderr, "gstreamer: %s\n", text.c_str());
      if (error) *error = text;
      return TGraphEnd::Error;
    }
    if (progress && !progress(context)) return TGraphEnd::Timeout;
    if (SteadyClock::now() >= deadline) return TGraphEnd::Timeout;
  }
}

bool TGraph::Stop(Ms timeout, std::string* error) {
  if (!pipeline_) return false;
  if (!ran_) {
    SetNull();
    return true;
  }
  const auto deadline = DeadlineAfter(timeout);
  // gst_element_send_event holds the pipeline's state lock while a source
  // takes its stream lock. If the pipeline is still on its way to PLAYING,
  // the streaming thread may be parked in a sink's preroll wait, holding that
  // stream lock until the state change completes, which needs the state lock:
  // a deadlock seen here when a recording was stopped right after it began.
  // So let a pending state change finish first (polled, never a blocking
  // get_state).
  const auto pendingDeadline = DeadlineAfter(std::min(Ms{1000}, timeout / 4));
  for (;;) {
    GstState current = GST_STATE_VOID_PENDING, pending = GST_STATE_VOID_PENDING;
    const GstStateChangeReturn r = gst_element_get_state(pipeline_.get(), &current, &pending, 0);
    if (r != GST_STATE_CHANGE_ASYNC || pending == GST_STATE_VOID_PENDING) break;
    // A change still pending after a moment waits for data that is not
    // coming (a sink that cannot preroll); then no streaming thread is parked
    // and EOS is safe to send.
    if (SteadyClock::now() >= std::min(deadline, pendingDeadline)) break;
    std::this_thread::sleep_for(Ms{10});
  }
  // The sources push EOS downstream from their own streaming threads; the
  // writer then writes its header and filesink flushes.
  gst_element_send_event(pipeline_.get(), gst_event_new_eos());
  const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now());
  const TGraphEnd end = WaitForEnd(left.count() > 0 ? left : Ms{0}, nullptr, error);
  if (end == TGraphEnd::Timeout)
    std::fprintf(stderr, "gstreamer: end-of-stream did not arrive within %lld ms; stopping anyway\n",
                 static_cast<long long>(timeout.count()));
  SetNull();
  return end == TGraphEnd::Eos;
}

void TGraph::SetNull() {
  if (!pipeline_) return;
  gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
  ran_ = false;
}

// ---------------------------------------------------------------- TSysDevEnum

TSysDevEnum::TSysDevEnum(const char* deviceClass) {
  if (!EnsureGstInitialized()) return;
  TGstPtr<GstDeviceMonitor> monitor = AdoptGst(gst_device_monitor_new());
  gst_device_monitor_add_filter(monitor.get(), deviceClass, nullptr);
  // Not started: get_devices probes each provider once.
  GList* list = gst_device_monitor_get_devices(monitor.get());
  for (GList* l = list; l; l = l->next) devices_.push_back(AdoptGst(GST_DEVICE(l->data)));
  g_list_free(list);
}

TSysDevEnum::TSysDevEnum(std::vector<TGstPtr<GstDevice>> devices) : devices_(std::move(devices)) {}

std::string TSysDevEnum::FriendlyName(int index) const {
  GstDevice* d = Device(index);
  if (!d) return "";
  TGCharPtr name(gst_device_get_display_name(d));
  return name.c_str();
}

GstDevice* TSysDevEnum::Device(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return devices_[static_cast<std::size_t>(index)].get();
}

TGstPtr<GstElement> TSysDevEnum::CreateElement(int index, const char* name) const {
  GstDevice* d = Device(index);
  if (!d) return {};
  TGstPtr<GstElement> e = AdoptGst(gst_device_create_element(d, name));
  if (!e) std::fprintf(stderr, "gstreamer: device %d cannot make a source element\n", index);
  return e;
}

// ---------------------------------------------------------------- encoder

bool Mp3EncoderAvailable() {
  return static_cast<bool>(MakeElement("lamemp3enc"));
}

TGstPtr<GstElement> CreateMp3Encoder(const char* name) {
  return CreateMp3Encoder(LoadEncoderSettings(), name);
}

namespace {

// The raw side's caps (what libmp3lame is fed) and the coded side's (what it
// must make) for a file at `rate` Hz with `channels` channels.
void PinEncoderCaps(GstElement* rawFilter, GstElement* codedFilter, int rate, int channels) {
  TGstPtr<GstCaps> raw = AdoptGst(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate, "channels",
                                                      G_TYPE_INT, channels, nullptr));
  g_object_set(rawFilter, "caps", raw.get(), nullptr);
  TGstPtr<GstCaps> coded = AdoptGst(
      gst_caps_new_simple("audio/mpeg", "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, channels, nullptr));
  g_object_set(codedFilter, "caps", coded.get(), nullptr);
}

// For "the input's rate": the rate is known only when the input's caps
// arrive, and is pinned on both sides before they reach the encoder.
struct TInputRateProbe {
  TEncoderSettings Settings;
  GstElement* RawFilter;    // borrowed: a sibling in the same bin
  GstElement* CodedFilter;  // borrowed: a sibling in the same bin

  // Streaming thread of whatever feeds the encoder.
  static GstPadProbeReturn OnEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    auto* self = static_cast<TInputRateProbe*>(data);
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    int inputRate = 0;
    if (caps && gst_caps_get_size(caps) > 0 &&
        gst_structure_get_int(gst_caps_get_structure(caps, 0), "rate", &inputRate)) {
      const TMp3Plan plan = PlanMp3(self->Settings, inputRate);
      if (!plan.Warning.empty()) std::fprintf(stderr, "gstreamer: MP3 encoder: %s\n", plan.Warning.c_str());
      PinEncoderCaps(self->RawFilter, self->CodedFilter, plan.SampleRate, plan.Channels);
    }
    return GST_PAD_PROBE_OK;
  }
};

}  // namespace

TGstPtr<GstElement> CreateMp3Encoder(const TEncoderSettings& raw, const char* name) {
  const TEncoderSettings settings = Normalized(raw);
  TGstPtr<GstElement> convert = MakeElement("audioconvert");
  TGstPtr<GstElement> resample = MakeElement("audioresample");
  TGstPtr<GstElement> rawFilter = MakeElement("capsfilter");
  TGstPtr<GstElement> lame = MakeElement("lamemp3enc");
  TGstPtr<GstElement> codedFilter = MakeElement("capsfilter");
  if (!convert || !resample || !rawFilter || !lame || !codedFilter) return {};

  // libmp3lame picks its own output rate unless told one: left alone, it
  // made 32 kHz files of 96 kbit/s at 44.1 kHz. The rate and channels are
  // therefore fixed on both sides of it, and audioresample (not the
  // encoder) does any resampling.
  const TMp3Plan plan = PlanMp3(settings);
  PinEncoderCaps(rawFilter.get(), codedFilter.get(), plan.SampleRate, plan.Channels);

  switch (settings.RateControl) {
    case TRateControl::Cbr:
    case TRateControl::Abr:
      gst_util_set_object_arg(G_OBJECT(lame.get()), "target", "bitrate");
      g_object_set(lame.get(), "bitrate", settings.Bitrate, "cbr", settings.RateControl == TRateControl::Cbr,
                   nullptr);
      break;
    case TRateControl::Vbr:
      gst_util_set_object_arg(G_OBJECT(lame.get()), "target", "quality");
      g_object_set(lame.get(), "quality", static_cast<gfloat>(settings.VbrQuality), nullptr);
      break;
  }
  g_object_set(lame.get(), "mono", settings.Mode == TChannelMode::Mono, nullptr);

  TGstPtr<GstElement> bin = AdoptGst(gst_bin_new(name));
  gst_bin_add_many(GST_BIN(bin.get()), convert.get(), resample.get(), rawFilter.get(), lame.get(),
                   codedFilter.get(), nullptr);
  if (!gst_element_link_many(convert.get(), resample.get(), rawFilter.get(), lame.get(), codedFilter.get(),
                             nullptr)) {
    std::fprintf(stderr, "gstreamer: could not link the MP3 encoder's parts\n");
    return {};
  }
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(convert.get(), "sink"));
  TGstPtr<GstPad> src = AdoptGst(gst_element_get_static_pad(codedFilter.get(), "src"));
  if (settings.SampleRate == 0) {
    auto* probe = new TInputRateProbe{settings, rawFilter.get(), codedFilter.get()};
    gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &TInputRateProbe::OnEvent, probe,
                      [](gpointer p) { delete static_cast<TInputRateProbe*>(p); });
  }
  gst_element_add_pad(bin.get(), gst_ghost_pad_new("sink", sink.get()));
  gst_element_add_pad(bin.get(), gst_ghost_pad_new("src", src.get()));
  return bin;
}

}  // namespace wavecrate
