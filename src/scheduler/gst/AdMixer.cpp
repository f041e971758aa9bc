#include "scheduler/gst/AdMixer.h"

#include <ges/ges.h>
#include <gst/pbutils/pbutils.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <unistd.h>

#include "audio/RecordingFile.h"
#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"
#include "audio/gst/TaggedMp3.h"
#include "audio/gst/WavDestFilter.h"
#include "common/Thread.h"

namespace wavecrate {

// GES assets are plain GObjects, handed out with a full reference.
template <>
struct TGstTraits<GESUriClipAsset> : gst_handles_detail::TGObjectTraits<GESUriClipAsset> {};

namespace {

namespace fs = std::filesystem;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// GES keeps process-wide state (its asset cache, the discoverer behind it)
// and is not made for use from several threads at once; the scratch clip is
// shared by every TAd as well. One step at a time in the whole process.
std::mutex& StepMutex() {
  static std::mutex mutex;
  return mutex;
}

// Every step runs on this one thread, kept for the life of the process.
// The editing services keep a media detector per thread, whose timers go to
// the thread's default main context: on a thread without a context of its
// own that is the program's GUI loop, which then ran a detector's timer after
// the detector was gone (a crash at the end of a recording), and every
// short-lived thread left a detector behind. This thread has a context of its
// own and lets nothing linger in it between steps. It also runs at low
// priority: a mix must never hold up a recording or a stream that plays.
class TEditingThread {
 public:
  static TEditingThread& Instance() {
    // GStreamer starts on the caller's thread, never this lowered one: its
    // start fixes the priority of every graph's streaming threads.
    [[maybe_unused]] static const bool started = EnsureGstInitialized();
    static TEditingThread thread;
    return thread;
  }

  // Runs `work` there and waits for it; what it throws is thrown here.
  void Run(const std::function<void()>& work) {
    std::lock_guard<std::mutex> one(runMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    work_ = &work;
    failure_ = nullptr;
    cv_.notify_all();
    cv_.wait(lock, [&] { return work_ == nullptr; });
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  TEditingThread() : thread_([this] { Loop(); }) {}
  ~TEditingThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  void Loop() {
    LowerThisThreadsPriority();
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || work_ != nullptr; });
      if (stop_) break;
      lock.unlock();
      std::exception_ptr failure;
      try {
        (*work_)();
      } catch (...) {
        failure = std::current_exception();
      }
      // Whatever the step left pending (a detector's time-out) runs here,
      // now, while everything it refers to still exists.
      while (g_main_context_iteration(context, FALSE)) {
      }
      lock.lock();
      failure_ = failure;
      work_ = nullptr;
      cv_.notify_all();
    }
    lock.unlock();
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  std::mutex runMutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  const std::function<void()>* work_ = nullptr;
  std::exception_ptr failure_;
  bool stop_ = false;
  std::thread thread_;
};

bool EnsureGesInitialized() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    ok = EnsureGstInitialized() && ges_init();
    if (!ok) std::fprintf(stderr, "wavecrate: GStreamer Editing Services could not be initialised\n");
  });
  return ok;
}

const char* ResultName(GstDiscovererResult result) {
  switch (result) {
    case GST_DISCOVERER_OK:
      return "ok";
    case GST_DISCOVERER_URI_INVALID:
      return "invalid address";
    case GST_DISCOVERER_ERROR:
      return "unreadable";
    case GST_DISCOVERER_TIMEOUT:
      return "timed out";
    case GST_DISCOVERER_BUSY:
      return "busy";
    case GST_DISCOVERER_MISSING_PLUGINS:
      return "no decoder for its format";
  }
  return "unreadable";
}

// Audio leaving the timeline, counted on its streaming thread and watched on
// the rendering thread (TGraph::WaitForEnd's progress call, every 100 ms).
struct TFlowWatch {
  std::atomic<guint64> Bytes{0};
  TStallJudge Judge;         // rendering thread only
  bool SegmentSeen = false;  // streaming thread only
};

// A segment whose stream time and running time both equal its timestamps,
// as the timeline gives every clip's part of the track.
bool IsPlainTimeSegment(const GstSegment& s) {
  return s.format == GST_FORMAT_TIME && s.rate == 1.0 && s.applied_rate == 1.0 && s.start == s.time &&
         s.start == s.base;
}

// On the timeline's output pad (its streaming thread): counts the audio, and
// keeps the stream one segment long. The timeline starts a new segment at
// every clip boundary; an encoder drains at a new segment (LAME pads its last
// frame and starts over with a fresh encoder delay), which put 80 ms of
// silence between clip and recording. Those segments only continue the first
// one's timing, so the first is left open-ended and the others are dropped:
// no timestamp changes meaning.
GstPadProbeReturn WatchTimeline(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* watch = static_cast<TFlowWatch*>(data);
  if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
    watch->Bytes += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
    return GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (event == nullptr || GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT) return GST_PAD_PROBE_OK;
  const GstSegment* segment = nullptr;
  gst_event_parse_segment(event, &segment);
  if (segment == nullptr || !IsPlainTimeSegment(*segment)) return GST_PAD_PROBE_OK;
  if (watch->SegmentSeen) return GST_PAD_PROBE_DROP;
  watch->SegmentSeen = true;
  // The first segment ends with the first clip; the stream goes on past it.
  GstSegment open;
  gst_segment_copy_into(segment, &open);
  open.stop = GST_CLOCK_TIME_NONE;
  GstEvent* replacement = gst_event_new_segment(&open);
  gst_event_set_seqnum(replacement, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = replacement;
  return GST_PAD_PROBE_OK;
}

bool StillFlowing(void* context) {
  auto* watch = static_cast<TFlowWatch*>(context);
  return watch->Judge.StillMoving(watch->Bytes.load());
}

// A name of its own for a file, for the time of one mix. GES keeps what it
// learnt of a file (its streams, their formats) by the file's address for the
// life of the process, and asking it to reload one address is not enough: the
// scratch clip is the same file with new content every time, and an Ogg clip
// after an AAC one failed to link. A symbolic link with a name never used
// before gives GES a fresh address each time. Without one (a file system that
// has no links) the file's own name is used.
class TFreshName {
 public:
  TFreshName(const std::string& folder, const std::string& target) : path_(target) {
    static std::atomic<unsigned> counter{0};
    const std::string link = folder + "/.mix-" + std::to_string(::getpid()) + "-" +
                             std::to_string(++counter) + "-" + fs::path(target).filename().string();
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(fs::absolute(target, ec), link, ec);
    if (!ec) path_ = link;
  }
  ~TFreshName() {
    std::error_code ec;
    if (fs::is_symlink(path_, ec)) fs::remove(path_, ec);
  }
  TFreshName(const TFreshName&) = delete;
  TFreshName& operator=(const TFreshName&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// What GES learns of one file, asked for on this thread's own main context.
// GES's synchronous request waits on the program-wide default context, which
// belongs to the GUI in the program and which the editing thread does not run;
// the answer arrives on the context that was the thread's default when asked.
// The request is bounded: if the answer never comes, the request is left to
// free itself whenever it does.
struct TAssetRequest {
  GMainLoop* Loop = nullptr;
  GESAsset* Asset = nullptr;
  GError* Error = nullptr;
  bool Abandoned = false;
};

void OnAssetReady(GObject*, GAsyncResult* result, gpointer data) {
  auto* request = static_cast<TAssetRequest*>(data);
  request->Asset = ges_asset_request_finish(result, &request->Error);
  if (request->Abandoned) {
    if (request->Asset != nullptr) g_object_unref(request->Asset);
    if (request->Error != nullptr) g_error_free(request->Error);
    delete request;
    return;
  }
  g_main_loop_quit(request->Loop);
}

gboolean QuitLoop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

GESUriClipAsset* RequestClipAsset(const char* uri, GError** error) {
  constexpr guint kLimitMs = 30'000;
  GMainContext* context = g_main_context_ref_thread_default();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  auto* request = new TAssetRequest{loop};
  ges_asset_request_async(GES_TYPE_URI_CLIP, uri, nullptr, OnAssetReady, request);
  GSource* timeout = g_timeout_source_new(kLimitMs);
  g_source_set_callback(timeout, QuitLoop, loop, nullptr);
  g_source_attach(timeout, context);
  g_main_loop_run(loop);
  g_source_destroy(timeout);
  g_source_unref(timeout);
  GESUriClipAsset* asset = nullptr;
  if (request->Asset == nullptr && request->Error == nullptr) {
    request->Abandoned = true;
    request->Loop = nullptr;
    g_set_error(error, GST_CORE_ERROR, GST_CORE_ERROR_FAILED, "no answer within %u s", kLimitMs / 1000);
  } else {
    asset = request->Asset != nullptr ? GES_URI_CLIP_ASSET(request->Asset) : nullptr;
    if (request->Error != nullptr) g_propagate_error(error, request->Error);
    delete request;
  }
  g_main_loop_unref(loop);
  g_main_context_unref(context);
  return asset;
}

// One file on the layer, at `start` for `duration` (nanoseconds), from its
// beginning. "" when added, else why not.
std::string AddClip(GESLayer* layer, const std::string& path, guint64 start, guint64 duration) {
  TGErrorPtr error;
  TGCharPtr uri(gst_filename_to_uri(path.c_str(), error.Out()));
  if (!uri) return "no address for " + path + ": " + error.Message();
  ges_asset_needs_reload(GES_TYPE_URI_CLIP, uri.get());  // in case the name is not fresh
  TGstPtr<GESUriClipAsset> asset = AdoptGst(RequestClipAsset(uri.get(), error.Out()));
  if (!asset) return "the editing services cannot use " + path + ": " + error.Message();
  GESClip* clip =
      ges_layer_add_asset_full(layer, GES_ASSET(asset.get()), static_cast<GstClockTime>(start), 0,
                               static_cast<GstClockTime>(duration), GES_TRACK_TYPE_AUDIO, error.Out());
  if (!clip) return "cannot put " + path + " on the timeline: " + error.Message();
  // The editing services measure the file again themselves; a clip that came
  // out shorter than asked would be rendered short without a word. (The
  // timeline's 100-ns grid may round a length up by a fraction of that.)
  const GstClockTime placed = GES_TIMELINE_ELEMENT_DURATION(clip);
  if (!GST_CLOCK_TIME_IS_VALID(placed) || placed + GST_MSECOND < static_cast<GstClockTime>(duration)) {
    return "the editing services took " + std::to_string(static_cast<double>(placed) / GST_SECOND) +
           " s of " + path + " where " + std::to_string(static_cast<double>(duration) / GST_SECOND) +
           " s were asked";
  }
  return "";
}

// How far two lengths of one recording (or of the mix and its plan) may lie
// apart: the encoder's delay and last frame's padding, and the detector's
// rounding, stay far below it; a recording cut short does not.
constexpr double kLengthTolerance = 0.5;

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::uintmax_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

TMediaFacts DetectMedia(const std::string& path, Ms timeout) {
  TMediaFacts facts;
  std::error_code ec;
  // Only regular files: a FIFO would hold the detector until its time-out.
  if (!fs::is_regular_file(path, ec)) {
    facts.Error = "no such file: " + path;
    return facts;
  }
  if (!EnsureGstInitialized()) {
    facts.Error = "GStreamer is not available";
    return facts;
  }
  TGErrorPtr error;
  TGstPtr<GstDiscoverer> discoverer =
      AdoptGst(gst_discoverer_new(static_cast<GstClockTime>(timeout.count()) * GST_MSECOND, error.Out()));
  if (!discoverer) {
    facts.Error = std::string("no media detector: ") + error.Message();
    return facts;
  }
  TGCharPtr uri(gst_filename_to_uri(path.c_str(), error.Out()));
  if (!uri) {
    facts.Error = std::string("no address for the file: ") + error.Message();
    return facts;
  }
  TGstPtr<GstDiscovererInfo> info =
      AdoptGst(gst_discoverer_discover_uri(discoverer.get(), uri.get(), error.Out()));
  const GstDiscovererResult result = info ? gst_discoverer_info_get_result(info.get()) : GST_DISCOVERER_ERROR;
  if (result != GST_DISCOVERER_OK) {
    facts.Error = ResultName(result);
    if (error) facts.Error += std::string(": ") + error.Message();
    return facts;
  }
  facts.Readable = true;
  GList* audio = gst_discoverer_info_get_audio_streams(info.get());
  facts.AudioStreams = static_cast<int>(g_list_length(audio));
  if (audio) {
    auto* first = GST_DISCOVERER_AUDIO_INFO(audio->data);
    facts.Rate = static_cast<int>(gst_discoverer_audio_info_get_sample_rate(first));
    facts.Channels = static_cast<int>(gst_discoverer_audio_info_get_channels(first));
  }
  gst_discoverer_stream_info_list_free(audio);
  const GstClockTime duration = gst_discoverer_info_get_duration(info.get());
  facts.Seconds = GST_CLOCK_TIME_IS_VALID(duration) ? static_cast<double>(duration) / 1e9 : 0.0;
  // The detector has been seen to read no length for a recording it
  // otherwise read well (MPEG audio's length is estimated while it parses);
  // the frames, counted, say it for certain.
  if (!(facts.Seconds > 0) && facts.AudioStreams > 0) {
    if (const std::optional<TMpegCount> frames = CountMpegFrames(path); frames && frames->Frames > 0)
      facts.Seconds = frames->Seconds;
  }
  return facts;
}

TAd::TAd(const std::string& programFolder, IHttpClient& http) : TAd(programFolder, http, TOptions{}) {}

TAd::TAd(const std::string& programFolder, IHttpClient& http, TOptions options)
    : AdTempFile(ProgramScratchFile(programFolder, kAdTempFileName)),
      programFolder_(programFolder),
      http_(http),
      options_(std::move(options)) {}

bool TAd::Fail(std::string why) {
  lastError_ = std::move(why);
  std::fprintf(stderr,
               "wavecrate: no advertisement put in front of %s: %s; the recording is left as it was\n",
               RecordingFile.c_str(), lastError_.c_str());
  return false;
}

bool TAd::DownloadAd() {
  if (AdUrl.empty()) return false;  // no request, the scratch file untouched
  if (AdTempFile.empty() || cancel_.load()) {
    lastError_ = AdTempFile.empty() ? "no scratch file for the clip" : "cancelled";
    return false;
  }
  const std::string why = DownloadAdFile(http_, AdUrl, options_.Agent, AdTempFile, options_.Limits, &cancel_);
  if (!why.empty()) {
    lastError_ = "the clip " + AdUrl + " was not downloaded: " + why;
    return false;
  }
  return true;
}

bool TAd::MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl) {
  RecordingFile = recordingFile;
  AdUrl = adUrl;
  return MixAdWithRecording();
}

bool TAd::MixAdWithRecording() {
  bool mixed = false;
  TEditingThread::Instance().Run([&] { mixed = MixOnEditingThread(); });
  return mixed;
}

bool TAd::MixOnEditingThread() {
  std::lock_guard<std::mutex> lock(StepMutex());
  lastError_.clear();
  timeline_ = {};
  if (AdUrl.empty()) return false;  // no advertisement for this slot
  if (!DownloadAd()) return Fail(lastError_);
  if (!EnsureGesInitialized()) return Fail("GStreamer Editing Services are not available");

  const TMediaFacts clip = DetectMedia(AdTempFile);
  if (std::string why = JudgeAdClip(clip, options_.Limits); !why.empty()) return Fail(AdUrl + ": " + why);
  const TMediaFacts recording = DetectMedia(RecordingFile);
  if (std::string why = JudgeRecording(recording); !why.empty()) return Fail(why);
  // The detector's length of a WAVE recording is an estimate from the data
  // size in its header, and the timeline takes the recording for exactly that
  // long: a header that understates the file gives a "mix" of the clip and
  // a fraction of a second of the show. The frames themselves say how long the
  // recording is; when the two disagree, nothing is mixed.
  const std::optional<TMpegCount> frames = CountMpegFrames(RecordingFile);
  if (!frames || frames->Frames == 0) return Fail("the recording's MPEG frames cannot be counted");
  if (std::abs(recording.Seconds - frames->Seconds) > kLengthTolerance)
    return Fail("the recording's length is uncertain: its frames hold " + SecondsText(frames->Seconds) +
                ", the media detector reads " + SecondsText(recording.Seconds));
  timeline_ = PlanAdTimeline(clip.Seconds, recording.Seconds);

  const std::string output = RecordingFile + ".bak";
  // Whatever is left at the output's name (an older mix, a FIFO that would
  // block the writer) is replaced, never written through.
  std::error_code ec;
  fs::remove(output, ec);
  if (ec) return Fail("cannot replace " + output + ": " + ec.message());

  if (!Render(recording, output)) {
    fs::remove(output, ec);
    return false;
  }
  // The mix replaces the recording only when it holds the clip and the whole
  // recording, as its frames counted it: a render that ended early, or took
  // less of the recording than there is, is caught here whatever made it.
  const double expected = static_cast<double>(RefTimeToNanoseconds(timeline_.AdStop)) / 1e9 + frames->Seconds;
  const std::optional<TMpegCount> mixed = CountMpegFrames(output);
  if (!mixed || std::abs(mixed->Seconds - expected) > kLengthTolerance) {
    const std::string why = "the mixed file holds " + SecondsText(mixed ? mixed->Seconds : 0.0) +
                            " where the clip and the recording make " + SecondsText(expected);
    fs::remove(output, ec);
    return Fail(why);
  }
  // rename() replaces the raw recording in one step: it is there, whole,
  // until the mixed file is.
  fs::rename(output, RecordingFile, ec);
  if (ec) {
    const std::string why = "cannot put the mix in place of the recording: " + ec.message();
    fs::remove(output, ec);
    return Fail(why);
  }
  return true;
}

bool TAd::Render(const TMediaFacts& recording, const std::string& output) {
  if (cancel_.load()) return Fail("cancelled");

  // The timeline: one audio track in the recording's own rate and channels
  // (so the encoder resamples nothing), 16-bit samples.
  TGstPtr<GstElement> timelineElement = AdoptGst(GST_ELEMENT(ges_timeline_new()));
  if (!timelineElement) return Fail("the editing services cannot make a timeline");
  GESTimeline* timeline = GES_TIMELINE(timelineElement.get());
  // Floating until the timeline takes it (on success or failure alike).
  GESTrack* track = GES_TRACK(ges_audio_track_new());
  TGstPtr<GstCaps> caps = AdoptGst(gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, "S16LE",
                                                       "layout", G_TYPE_STRING, "interleaved", nullptr));
  if (recording.Rate > 0) gst_caps_set_simple(caps.get(), "rate", G_TYPE_INT, recording.Rate, nullptr);
  if (recording.Channels > 0)
    gst_caps_set_simple(caps.get(), "channels", G_TYPE_INT, recording.Channels, nullptr);
  ges_track_set_restriction_caps(track, caps.get());
  if (!ges_timeline_add_track(timeline, track)) return Fail("the editing services cannot add an audio track");
  GESLayer* layer = ges_timeline_append_layer(timeline);
  if (layer == nullptr) return Fail("the editing services cannot add a layer");
  const auto adStart = static_cast<guint64>(RefTimeToNanoseconds(timeline_.AdStart));
  const auto adLength = static_cast<guint64>(RefTimeToNanoseconds(timeline_.AdStop - timeline_.AdStart));
  const auto recStart = static_cast<guint64>(RefTimeToNanoseconds(timeline_.RecordingStart));
  const auto recLength =
      static_cast<guint64>(RefTimeToNanoseconds(timeline_.RecordingStop - timeline_.RecordingStart));
  const TFreshName clipName(programFolder_, AdTempFile);
  const TFreshName recordingName(programFolder_, RecordingFile);
  if (std::string why = AddClip(layer, clipName.Path(), adStart, adLength); !why.empty()) return Fail(why);
  if (std::string why = AddClip(layer, recordingName.Path(), recStart, recLength); !why.empty())
    return Fail(why);
  if (!ges_timeline_commit(timeline)) return Fail("the editing services cannot commit the timeline");

  // The graph: the timeline as its source, then the capture's own tail.
  TGraph graph("advertisement");
  if (!graph || !graph.Add(timelineElement)) return Fail("cannot make the mixing graph");
  // The mix keeps the recording's own file type, and a tagged recording
  // keeps its tags.
  const std::optional<TMpegStream> original = LocateMpegStream(RecordingFile);
  const bool tagged = original && original->Type == TRecordingFileType::Tagged;
  TGstPtr<GstElement> head =
      options_.Encoder ? CreateMp3Encoder(*options_.Encoder, "MP3") : CreateMp3Encoder("MP3");
  TGstPtr<GstElement> sink = CreateFileSink(output, TFileSinkMode::Bulk, "FileWriter");
  TGstPtr<GstElement> writer;  // the WAV writer (WAVE type only)
  if (tagged) {
    TGstPtr<GstTagList> tags = ReadRecordingTagList(RecordingFile);
    TTaggedMp3Tail tail;
    const bool made = CreateTaggedMp3Tail(tags.get(), tail);
    if (!head || !made || !sink) return Fail("a media component could not be made (see above)");
    if (!graph.AddAndLink({&head, &tail.Xing, &tail.Tagger, &sink}))
      return Fail("the mixing graph could not be built");
  } else {
    writer = RegisterWavDestFilter() ? CreateWavDestFilter("WavMux") : TGstPtr<GstElement>();
    if (!head || !writer || !sink) return Fail("a media component could not be made (see above)");
    if (!graph.AddAndLink({&head, &writer, &sink})) return Fail("the mixing graph could not be built");
  }
  GstPad* timelinePad = ges_timeline_get_pad_for_track(timeline, track);  // borrowed
  TGstPtr<GstPad> headPad = AdoptGst(gst_element_get_static_pad(head.get(), "sink"));
  if (timelinePad == nullptr || !headPad || gst_pad_link(timelinePad, headPad.get()) != GST_PAD_LINK_OK)
    return Fail("the timeline cannot be linked to the output");

  TFlowWatch watch;
  watch.Judge.Limit = options_.RenderStallTimeout;
  const gulong probe = gst_pad_add_probe(
      timelinePad,
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
      WatchTimeline, &watch, nullptr);
  const auto finish = [&] {
    graph.SetNull();  // no streaming thread runs the probe after this
    gst_pad_remove_probe(timelinePad, probe);
  };

  std::string error;
  if (!graph.Run(options_.RenderStallTimeout, &error)) {
    finish();
    return Fail("the mix would not start: " + error);
  }
  const Ms mixedLength{RefTimeToNanoseconds(timeline_.RecordingStop) / 1000000};
  const TGraphEnd end =
      graph.WaitForEnd(mixedLength + options_.RenderTimeMargin, &cancel_, &error, StillFlowing, &watch);
  guint dataBytes = 0, headerBytes = 0;
  if (writer) g_object_get(writer.get(), "data-bytes", &dataBytes, "header-bytes", &headerBytes, nullptr);
  finish();  // closes the file

  switch (end) {
    case TGraphEnd::Eos:
      break;
    case TGraphEnd::Cancelled:
      return Fail("cancelled");
    case TGraphEnd::Error:
      return Fail("the mix failed: " + error);
    case TGraphEnd::Timeout:
      return Fail(watch.Judge.Stalled ? "the mix stalled" : "the mix took too long");
  }
  const std::uintmax_t size = FileSize(output);
  if (tagged) {
    TXingCounts counts(output);
    if (!counts.Count() || counts.Frames() < 2) return Fail("the mixed file " + output + " is incomplete");
  } else if (dataBytes == 0 || headerBytes == 0 || size != std::uintmax_t{dataBytes} + headerBytes)
    return Fail("the mixed file " + output + " is incomplete");
  return true;
}

}  // namespace wavecrate
