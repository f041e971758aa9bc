#include "audio/gst/AudioCaptureThread.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <thread>
#include <vector>

#include "audio/CaptureSource.h"
#include "audio/RiffHeader.h"
#include "audio/gst/GraphServices.h"
#include "audio/gst/GstHandles.h"
#include "audio/gst/TaggedMp3.h"
#include "audio/gst/WavDestFilter.h"

namespace wavecrate {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrameBytes = 2 * kChannels;  // S16LE
constexpr Ms kBusSlice{100};
constexpr std::chrono::nanoseconds kRateTolerance{std::chrono::milliseconds(250)};
// How long a stamp's lead over the sample count must last to count as sound
// missing rather than a late read (see Run::Steady).
constexpr GstClockTime kLeadWindow = GST_SECOND;
// A buffer whose loudest sample stays under this (-50 dBFS) counts as
// silence in the outcome's SilentSeconds.
constexpr int kSilenceThreshold = 104;
constexpr GstClockTime kReportedGap = static_cast<GstClockTime>(kReportedGapSeconds * GST_SECOND);
// How often a tagged file's Xing frame is brought up to date while it
// grows, so that a file whose program was killed still tells its length.
constexpr Ms kXingUpdateInterval{2000};

void Log(const std::string& line) {
  std::fprintf(stderr, "wavecrate: capture: %s\n", line.c_str());
}

// The sound server's name of a listed device ("" for devices that are not
// the server's, such as a bare ALSA card).
std::string DeviceSource(GstDevice* device) {
  if (!device || !g_object_class_find_property(G_OBJECT_GET_CLASS(device), "internal-name")) return "";
  TGCharPtr name;
  g_object_get(device, "internal-name", name.Out(), nullptr);
  return name.c_str();
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

std::string Folder(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
}

bool FromElement(GstMessage* m, const TGstPtr<GstElement>& element) {
  return element && GST_MESSAGE_SRC(m) == GST_OBJECT(element.get());
}

}  // namespace

// One recording's pipeline and the state its streaming thread shares with
// the capture thread (atomics only).
class TAudioCaptureThread::Run {
 public:
  Run(TAudioCaptureThread& owner) : owner_(owner), graph_("capture") {}

  ~Run() {
    SetWake({});
    RemoveProbe();
  }

  // Builds the pipeline; false (logged, in Failure) when a part is missing.
  bool Build(const std::string& device) {
    device_ = device;
    if (!graph_) return Fail("no pipeline (GStreamer could not start)");
    caps_ = MakeElement("capsfilter", "Caps");
    rate_ = MakeElement("audiorate", "Rate");
    encoder_ =
        owner_.options_.Encoder ? CreateMp3Encoder(*owner_.options_.Encoder, "MP3") : CreateMp3Encoder("MP3");
    const bool tagged = owner_.FileType == TRecordingFileType::Tagged;
    TTaggedMp3Tail tail;
    if (tagged) {
      if (CreateTaggedMp3Tail(owner_.Tags, tail)) {
        xing_ = tail.Xing;
        tagger_ = tail.Tagger;
      }
    } else {
      mux_ = CreateWavDestFilter("Mux");
    }
    writer_ = CreateFileSink(owner_.OutputFileName, TFileSinkMode::Recording, "Writer");
    if (!caps_ || !rate_) {
      return Missing("GStreamer's base plugins are missing (capsfilter, audiorate)",
                     "a part of GStreamer's base plugins (capsfilter, audiorate) is not installed");
    }
    // Buffers stamped by the clock carry the jitter of a busy machine: a read
    // a tenth of a second late looks like a tenth of a second missing, then
    // the next one overlaps. Filled and cut at the default 40 ms, that jitter
    // became short holes all through a recording made on a loaded machine.
    // Real gaps (the server away, a stall) are longer and are still filled.
    g_object_set(rate_.get(), "tolerance", static_cast<guint64>(kRateTolerance.count()), nullptr);
    if (!encoder_) return Missing("no MP3 encoder (lamemp3enc)", "no MP3 encoder (lamemp3enc) is installed");
    if (tagged && (!xing_ || !tagger_)) {
      return Missing("no MP3 tag writer (xingmux, id3v2mux)",
                     "GStreamer's MP3 tag writers (xingmux, id3v2mux) are not installed");
    }
    if (!tagged && !mux_)
      return Missing("the WAV writer could not be made", "the WAV writer could not be made");
    if (!writer_) return Missing("no file writer (filesink)", "no file writer (filesink) is installed");
    if (mux_ && owner_.options_.MaxFileBytes > 0) {
      g_object_set(mux_.get(), "max-bytes", static_cast<guint64>(owner_.options_.MaxFileBytes), nullptr);
    }
    TGstPtr<GstCaps> caps = AdoptGst(gst_caps_new_simple(
        "audio/x-raw", "format", G_TYPE_STRING, "S16LE", "layout", G_TYPE_STRING, "interleaved", "rate",
        G_TYPE_INT, kRate, "channels", G_TYPE_INT, kChannels, nullptr));
    g_object_set(caps_.get(), "caps", caps.get(), nullptr);
    const bool linked = tagged ? graph_.AddAndLink({&caps_, &rate_, &encoder_, &xing_, &tagger_, &writer_})
                               : graph_.AddAndLink({&caps_, &rate_, &encoder_, &mux_, &writer_});
    if (!linked) {
      owner_.SetFault(TCaptureFault::PipelineFailed,
                      "the recording could not start: its parts do not fit together");
      return Fail("the capture pipeline could not be linked");
    }
    // The system clock, not the sound server's: the server's clock runs
    // slow when it delivers fewer samples, and then no gap would be seen.
    TGstPtr<GstClock> clock = AdoptGst(gst_system_clock_obtain());
    gst_pipeline_use_clock(GST_PIPELINE(graph_.Pipeline()), clock.get());

    TGstPtr<GstPad> out = AdoptGst(gst_element_get_static_pad(caps_.get(), "src"));
    probePad_ = out;
    probeId_ = gst_pad_add_probe(
        out.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        &Run::OnData, this, nullptr);
    return AttachSource();
  }

  bool Start() {
    std::string error;
    TGstPtr<GstMessage> message;
    if (!graph_.Run(std::chrono::seconds(10), &error, &message)) {
      std::string reason;
      const TCaptureFault fault = Classify(message.get(), true, &reason);
      owner_.SetFault(fault, reason);
      return Fail("the recording could not start: " + error);
    }
    running_ = true;
    TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(graph_.Pipeline()));
    SetWake([bus] {
      gst_bus_post(bus.get(),
                   gst_message_new_application(nullptr, gst_structure_new_empty("wavecrate-wake")));
    });
    Playing(Ms(5000));
    return true;
  }

  // Waits (bounded) until the pipeline has finished going to PLAYING.
  // Ending the stream before that deadlocks: the sink holds the first
  // buffer until PLAYING, the source's streaming thread waits on it, and
  // sending the EOS holds the pipeline's state lock that PLAYING needs.
  bool Playing(Ms timeout) {
    GstState state = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    // The result may read FAILURE after a source died; the state is what counts.
    gst_element_get_state(graph_.Pipeline(), &state, &pending,
                          static_cast<GstClockTime>(timeout.count()) * GST_MSECOND);
    return state == GST_STATE_PLAYING && pending == GST_STATE_VOID_PENDING;
  }

  // Watches the pipeline until the stop, or until nothing more can reach
  // the file. Between its duties (looking at the mixer, the tagged file's
  // Xing frame) the thread sleeps on the pipeline's messages; the stop and
  // header requests post a message of their own to wake it (Wake), so no
  // wait is longer than the next duty needs and none is shorter.
  void Watch() {
    TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(graph_.Pipeline()));
    const Ms interval = owner_.options_.SuperviseInterval;
    auto nextSupervise = SteadyClock::now() + interval;
    for (;;) {
      ServeHeaderRequests();
      if (owner_.StopRequested.load() || ended_) return;
      auto due = nextSupervise;
      if (xing_) due = std::min(due, nextXingUpdate_);
      // In nanoseconds: whole milliseconds would round the last fraction
      // down to a zero wait and spin; clamped, as a negative wait would
      // read as "forever" to the bus.
      const auto wait =
          std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(due - SteadyClock::now()),
                   std::chrono::nanoseconds(0));
      TGstPtr<GstMessage> m = AdoptGst(gst_bus_timed_pop_filtered(
          bus.get(), static_cast<GstClockTime>(wait.count()),
          static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS | GST_MESSAGE_WARNING |
                                      GST_MESSAGE_APPLICATION)));
      if (m) OnMessage(m.get());
      const auto now = SteadyClock::now();
      if (running_ && now >= nextSupervise) {
        Supervise();
        nextSupervise = now + interval;
      }
      if (running_ && !ended_ && xing_ && now >= nextXingUpdate_) {
        xingCounts_.Update();
        nextXingUpdate_ = now + kXingUpdateInterval;
      }
    }
  }

  // Finishes the file: end-of-stream through the writer (which writes the
  // exact header), bounded, then the pipeline goes down.
  void Finish() {
    stopping_ = true;
    if (!running_) {
      graph_.SetNull();
      return;
    }
    const Ms timeout = owner_.options_.StopTimeout;
    bool finished;
    if (ended_) {
      // Nothing reaches the file any more; the writer finished it if it
      // ended the stream itself.
      finished = writerEnded_;
    } else if (!Playing(timeout)) {
      // Nothing can be pushed safely; the file keeps its provisional header.
      finished = false;
    } else {
      if (source_ && !Stalled(Ms(1000))) {
        EndAtNow();
        gst_element_send_event(graph_.Pipeline(), gst_event_new_eos());
      } else {
        // No live source: the time since the last sound still belongs to
        // the recording, so it is filled up to now before the stream ends.
        DetachSource();
        PushTailAndEos();
      }
      finished = WaitForEos(timeout);
    }
    graph_.SetNull();
    running_ = false;
    bool patched = false;
    if (!finished) {
      // Whatever reached the disk is kept, with a header that says so
      // instead of the provisional one.
      if (xing_) {
        // The Xing frame is brought to the frames that reached the disk.
        patched = xingCounts_.Update();
        if (patched) {
          Log("the file was cut short; its Xing frame now gives the " + std::to_string(xingCounts_.Frames()) +
              " frames on disk (" + owner_.OutputFileName + ")");
        } else if (!diskFull_) {
          Fail("the file was not finished");
        }
      } else if (const auto payload = PatchRiffSizesInFile(owner_.OutputFileName)) {
        patched = true;
        Log("the file was cut short; its header now gives the " + std::to_string(*payload) +
            " payload bytes on disk (" + owner_.OutputFileName + ")");
        if (*payload < DataBytes() && DataBytes() > 0) {
          patchedShare_ = static_cast<double>(*payload) / static_cast<double>(DataBytes());
        }
      } else if (!diskFull_) {
        Fail("the file was not finished");
      }
    }
    std::lock_guard<std::mutex> lock(owner_.statsMutex_);
    owner_.stats_.Finished = finished;
    owner_.stats_.HeaderPatched = patched;
  }

  // Audio in the file, in seconds, and how much of it was silence.
  double WrittenSeconds() {
    if (xing_) {
      // Counted in the file: what a player will find there. The Xing frame
      // itself holds no sound.
      if (!running_) xingCounts_.Count();
      return std::max(0.0, xingCounts_.Seconds() - xingCounts_.FrameSeconds());
    }
    if (!mux_) return 0;
    guint64 ns = 0;
    g_object_get(mux_.get(), "data-duration", &ns, nullptr);
    return static_cast<double>(ns) / 1e9 * patchedShare_;
  }
  double LoudSeconds() const { return static_cast<double>(loudFrames_.load()) / kRate; }
  bool DiskFull() const { return diskFull_; }
  // Nothing more can reach the file (a fault ended the recording).
  bool Ended() const { return ended_; }

  // The silent stretches of at least kReportedGapSeconds in the first
  // `seconds` of the file, in file order. After Finish only.
  std::vector<TSilentGap> Gaps(double seconds) const {
    std::lock_guard<std::mutex> lock(gapsMutex_);
    std::vector<TSilentGap> gaps;
    auto add = [&](double start, double length) {
      length = std::min(length, seconds - start);
      if (length >= kReportedGapSeconds) gaps.push_back(TSilentGap{start, length});
    };
    for (const TSilentGap& gap : gaps_) add(gap.StartSeconds, gap.Seconds);
    const double lastSound = static_cast<double>(loudEnd_) / GST_SECOND;
    add(lastSound, seconds - lastSound);  // the silence up to the end
    return gaps;
  }

  // Answers WriteHeaderNow: the WAV writer takes the request in line with
  // the payload (its sink pad's stream lock), so the header it writes
  // matches what the file holds.
  void ServeHeaderRequests() {
    std::uint64_t requested;
    {
      std::lock_guard<std::mutex> lock(owner_.headerMutex_);
      requested = owner_.headerRequested_;
      if (requested == owner_.headerServed_) return;
    }
    bool ok = true;
    if (running_ && !ended_ && xing_) {
      ok = xingCounts_.Update();
      if (!ok) Log("the Xing frame could not be brought up to date now (" + owner_.OutputFileName + ")");
    } else if (running_ && !ended_ && mux_) {
      TGstPtr<GstPad> pad = AdoptGst(gst_element_get_static_pad(mux_.get(), "sink"));
      ok = gst_pad_send_event(pad.get(),
                              gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM,
                                                   gst_structure_new_empty(kWavDestWriteHeaderEvent)));
      if (!ok) Log("the header could not be written now (" + owner_.OutputFileName + ")");
    }
    {
      std::lock_guard<std::mutex> lock(owner_.headerMutex_);
      owner_.headerServed_ = requested;
      owner_.headerOk_ = ok;
    }
    owner_.headerCv_.notify_all();
  }

  std::uint64_t Frames() const { return frames_.load(); }

 private:
  std::uint32_t DataBytes() const {
    guint bytes = 0;
    if (mux_) g_object_get(mux_.get(), "data-bytes", &bytes, nullptr);
    return bytes;
  }

  // The slot's sound moved to another mix (or the program's own mix is
  // back after a fallback): record that one from now on, and move the
  // muting to the loopback that carries the sound now.
  void Follow() {
    TRecordingMixer* mixer = owner_.mixer_.get();
    if (!mixer || mixer->ServerGeneration() == 0) return;
    if (owner_.mutedMix_ >= 0) {
      const int mix = mixer->SlotMix(owner_.Slot);
      if (mix != owner_.mutedMix_) {
        const bool muted = mixer->MuteMix(mix);
        mixer->RestoreMix(owner_.mutedMix_);
        owner_.mutedMix_ = muted ? mix : -1;
      }
    }
    if (!lineIsStereoMix_ || !source_ || ended_) return;
    const std::string line = mixer->SlotLineSource(owner_.Slot);
    if (line.empty() || line == device_) return;
    Log("recording " + line + " from now on, instead of " + device_);
    DetachSource();
    device_ = line;
    if (AttachSource()) {
      std::lock_guard<std::mutex> lock(owner_.statsMutex_);
      ++owner_.stats_.SourceSwitches;
    }
  }
  // An element of the pipeline is not there.
  bool Missing(const std::string& why, const std::string& reason) {
    owner_.SetFault(TCaptureFault::NoEncoder, reason);
    return Fail(why);
  }

  // What an error (or the writer's size warning) of the pipeline means for
  // the recording, from its domain, code and the element that sent it.
  // `starting`: the pipeline was going to PLAYING.
  TCaptureFault Classify(GstMessage* m, bool starting, std::string* reason) const {
    if (!m) {
      *reason = "the recording could not start";
      return TCaptureFault::PipelineFailed;
    }
    const TGErrorPtr error = MessageError(m);
    const std::string text = error ? error.Message() : std::string("no reason given");
    if (error && g_error_matches(error.get(), GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NO_SPACE_LEFT)) {
      if (FromElement(m, mux_)) {
        *reason = "the file reached the largest size a WAVE file's header can give (" +
                  std::to_string(MaxFileBytes()) + " bytes); the rest of the show was not recorded";
        return TCaptureFault::SizeLimit;
      }
      *reason = "the disk is full; the file keeps what was recorded until then";
      return TCaptureFault::DiskFull;
    }
    if (FromElement(m, writer_) && error && error.get()->domain == GST_RESOURCE_ERROR &&
        (error.get()->code == GST_RESOURCE_ERROR_OPEN_WRITE ||
         error.get()->code == GST_RESOURCE_ERROR_OPEN_READ_WRITE ||
         error.get()->code == GST_RESOURCE_ERROR_NOT_FOUND)) {
      const TCaptureFault folder = owner_.FolderFault(reason);
      if (folder != TCaptureFault::None) return folder;
      *reason = "the file " + owner_.OutputFileName + " cannot be written: " + text;
      return TCaptureFault::FolderNotWritable;
    }
    if (starting && GST_MESSAGE_SRC(m) && g_str_has_prefix(GST_MESSAGE_SRC_NAME(m), "Source")) {
      const TCaptureFault fault = owner_.SourceFault(reason);
      *reason += " (" + text + ")";
      return fault;
    }
    if (error && (g_error_matches(error.get(), GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN) ||
                  g_error_matches(error.get(), GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND))) {
      *reason = "a part of the recording pipeline is not installed: " + text;
      return TCaptureFault::NoEncoder;
    }
    if (FromElement(m, writer_)) {
      *reason = "writing the file failed: " + text;
      return TCaptureFault::PipelineFailed;
    }
    const char* element = GST_MESSAGE_SRC_NAME(m);
    *reason = std::string(starting ? "the recording could not start: " : "the recording failed: ") + text +
              " (in " + (element ? element : "the pipeline") + ")";
    return TCaptureFault::PipelineFailed;
  }

  std::uint64_t MaxFileBytes() const {
    guint64 bytes = 0;
    if (mux_) g_object_get(mux_.get(), "max-bytes", &bytes, nullptr);
    return bytes;
  }

  bool Fail(const std::string& why) {
    Log(why + " (" + owner_.OutputFileName + ")");
    std::lock_guard<std::mutex> lock(owner_.statsMutex_);
    if (!owner_.stats_.Failure.empty()) owner_.stats_.Failure += "; ";
    owner_.stats_.Failure += why;
    return false;
  }

  TGstPtr<GstElement> MakeSource() {
    TGstPtr<GstElement> src = MakeElement("pulsesrc", "Source");
    if (!src) return src;
    g_object_set(src.get(), "device", device_.c_str(), "client-name", "Wavecrate", "latency-time",
                 static_cast<gint64>(owner_.options_.LatencyTime.count()), "buffer-time",
                 static_cast<gint64>(owner_.options_.BufferTime.count()), nullptr);
    // Each buffer is stamped with the clock's time when it was read (less
    // what the server still held). The default ("skew") stamps by counting
    // samples and corrects only gradually, so after a stall, whose missing
    // time the server makes up in a burst or drops, the recording came out
    // seconds too short or too long; stamped by the clock, audiorate fills
    // the stall with silence and drops the overlap of the burst.
    gst_util_set_object_arg(G_OBJECT(src.get()), "slave-method", "re-timestamp");
    const std::string server = owner_.mixer_ ? owner_.mixer_->ServerAddress() : "";
    if (!server.empty()) g_object_set(src.get(), "server", server.c_str(), nullptr);
    return src;
  }

  bool AttachSource() {
    TGstPtr<GstElement> src = MakeSource();
    if (!src) {
      return Missing("no sound-server source element (pulsesrc)",
                     "GStreamer's sound-server plugin (pulsesrc) is not installed");
    }
    if (!graph_.Add(src)) return Fail("the source could not be added");
    if (!gst_element_link(src.get(), caps_.get())) {
      gst_bin_remove(graph_.Bin(), src.get());
      return Fail("the source could not be linked");
    }
    source_ = src;
    sourceGeneration_ = owner_.mixer_ ? owner_.mixer_->ServerGeneration() : 0;
    attachedNs_ = NowNs();
    if (running_ && !gst_element_sync_state_with_parent(src.get())) {
      DetachSource();
      return Fail("the new source would not start");
    }
    return true;
  }

  void DetachSource() {
    if (!source_) return;
    gst_element_set_state(source_.get(), GST_STATE_NULL);
    gst_element_unlink(source_.get(), caps_.get());
    gst_bin_remove(graph_.Bin(), source_.get());
    source_.reset();
  }

  // No buffer for `span` (since the last one, or since the source started).
  bool Stalled(Ms span) const {
    const std::int64_t last = std::max(lastArrivalNs_.load(), attachedNs_);
    return NowNs() - last > std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
  }

  // Runs on the capture thread between bus waits.
  void Supervise() {
    Follow();
    const std::uint64_t generation = owner_.mixer_ ? owner_.mixer_->ServerGeneration() : sourceGeneration_;
    if (source_) {
      // A source whose server went away (or was replaced) only ever stalls;
      // a stall on a server that is still the same one is left to recover
      // by itself, and audiorate fills the gap when the sound returns.
      if (generation != sourceGeneration_ && Stalled(owner_.options_.StallTimeout)) {
        Log("no sound since the sound server went away; keeping what was recorded");
        DetachSource();
      }
      return;
    }
    if (ended_ || generation == 0 || generation == failedGeneration_) return;
    // A source that failed on a server that is still there is tried again,
    // but not faster than the stall time-out, so a refusing server is not
    // hammered (and the log not flooded).
    if (generation == sourceGeneration_ && !Stalled(owner_.options_.StallTimeout)) return;
    if (owner_.mixer_) {
      const std::string line = owner_.mixer_->SlotLineSource(owner_.Slot);
      if (lineIsStereoMix_ && !line.empty()) device_ = line;
    }
    if (AttachSource()) {
      Log("the sound server is back; recording again from " + device_);
      std::lock_guard<std::mutex> lock(owner_.statsMutex_);
      ++owner_.stats_.SourceRestarts;
    } else {
      failedGeneration_ = generation;
    }
  }

  void OnMessage(GstMessage* m) {
    const bool fromSource = source_ && GST_MESSAGE_SRC(m) == GST_OBJECT(source_.get());
    std::string reason;
    switch (GST_MESSAGE_TYPE(m)) {
      case GST_MESSAGE_WARNING:
        Log("warning: " + DescribeError(m));
        if (FromElement(m, mux_) && Classify(m, false, &reason) == TCaptureFault::SizeLimit) {
          // The writer has written the exact header and takes nothing more.
          End(TCaptureFault::SizeLimit, reason, DescribeError(m));
          writerEnded_ = true;
        }
        break;
      case GST_MESSAGE_ERROR:
        if (fromSource) {
          // The server went away (or dropped our stream): the recording goes
          // on with silence, and with a new source once the server is back.
          Log("the sound server connection broke: " + DescribeError(m));
          DetachSource();
        } else if (IsStaleSourceMessage(m)) {
          // A late error of a source already given up.
        } else {
          const TCaptureFault fault = Classify(m, false, &reason);
          End(fault, reason, DescribeError(m));
          if (fault == TCaptureFault::DiskFull) {
            diskFull_ = true;
            std::lock_guard<std::mutex> lock(owner_.statsMutex_);
            owner_.stats_.DiskFull = true;
          }
        }
        break;
      case GST_MESSAGE_EOS:
        // Only the writer ends a stream by itself: the file reached the
        // largest size a RIFF file can describe.
        End(TCaptureFault::SizeLimit,
            "the file reached the largest size a WAVE file's header can give; the rest of the show was not "
            "recorded",
            "end of stream from the writer");
        writerEnded_ = true;
        break;
      default:
        break;
    }
  }

  // A fault ends the recording at once: nothing more reaches the file, which
  // keeps what it has (Finish gives it a header that says so).
  void End(TCaptureFault fault, const std::string& reason, const std::string& detail) {
    owner_.SetFault(fault, reason);
    Fail(reason + " [" + detail + "]");
    DetachSource();
    ended_ = true;
  }

  // The file ends at this instant. The source hands its sound over a read
  // (LatencyTime) at a time, and ending the stream drops the read under way,
  // so the sound up to now is waited for (at most about two reads), and
  // what the last read holds beyond now is cut off (OnData).
  void EndAtNow() {
    TGstPtr<GstClock> clock = AdoptGst(gst_element_get_clock(graph_.Pipeline()));
    if (!clock) return;
    const GstClockTime now = gst_clock_get_time(clock.get()) - gst_element_get_base_time(graph_.Pipeline());
    stopAtNs_ = static_cast<std::int64_t>(now);
    const auto until = SteadyClock::now() + 2 * owner_.options_.LatencyTime + Ms(100);
    while (lastEndNs_.load() < stopAtNs_.load() && !pastStop_.load() && SteadyClock::now() < until)
      std::this_thread::sleep_for(Ms(5));
  }

  void PushTailAndEos() {
    TGstPtr<GstPad> in = AdoptGst(gst_element_get_static_pad(caps_.get(), "sink"));
    TGstPtr<GstClock> clock = AdoptGst(gst_element_get_clock(graph_.Pipeline()));
    if (clock && lastEndNs_.load() >= 0) {
      const GstClockTime now = gst_clock_get_time(clock.get()) - gst_element_get_base_time(graph_.Pipeline());
      const GstClockTime frame = GST_SECOND / kRate;
      if (now > static_cast<GstClockTime>(lastEndNs_.load()) + 20 * GST_MSECOND) {
        // One silent frame at the stop; audiorate fills the gap before it.
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
        gst_buffer_memset(buffer, 0, 0, kFrameBytes);
        GST_BUFFER_PTS(buffer) = now - frame;
        GST_BUFFER_DURATION(buffer) = frame;
        gst_pad_chain(in.get(), buffer);
      }
    }
    gst_pad_send_event(in.get(), gst_event_new_eos());
  }

  // Waits for the end of the stream to reach the file. Errors of sources
  // already given up are stale; a source dying just now is replaced by the
  // tail and the end of the stream.
  bool WaitForEos(Ms timeout) {
    TGstPtr<GstBus> bus = AdoptGst(gst_element_get_bus(graph_.Pipeline()));
    const auto end = SteadyClock::now() + timeout;
    while (SteadyClock::now() < end) {
      TGstPtr<GstMessage> m = AdoptGst(
          gst_bus_timed_pop_filtered(bus.get(), static_cast<GstClockTime>(kBusSlice.count()) * GST_MSECOND,
                                     static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS)));
      if (!m) continue;
      if (GST_MESSAGE_TYPE(m.get()) == GST_MESSAGE_EOS) return true;
      if (source_ && GST_MESSAGE_SRC(m.get()) == GST_OBJECT(source_.get())) {
        Log("the sound server went away at the stop: " + DescribeError(m.get()));
        DetachSource();
        PushTailAndEos();
      } else if (!IsStaleSourceMessage(m.get())) {
        Fail("the file could not be finished: " + DescribeError(m.get()));
        return false;
      }
    }
    Log("the end of the stream did not reach the file in time");
    return false;
  }

  void SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(owner_.wakeMutex_);
    owner_.wake_ = std::move(wake);
  }

  bool IsStaleSourceMessage(GstMessage* m) const {
    return GST_MESSAGE_SRC(m) && (!source_ || GST_MESSAGE_SRC(m) != GST_OBJECT(source_.get())) &&
           g_str_has_prefix(GST_MESSAGE_SRC_NAME(m), "Source");
  }

  void RemoveProbe() {
    if (probePad_ && probeId_) gst_pad_remove_probe(probePad_.get(), probeId_);
    probeId_ = 0;
  }

  // Whether any sample of a buffer reaches the silence threshold. Stops at
  // the first that does, so sound costs next to nothing to look at.
  static bool Loud(GstBuffer* buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return false;
    const auto* samples = reinterpret_cast<const std::int16_t*>(map.data);
    const std::size_t count = map.size / 2;
    bool loud = false;
    for (std::size_t i = 0; i < count && !loud; ++i)
      loud = samples[i] > kSilenceThreshold || samples[i] < -kSilenceThreshold;
    gst_buffer_unmap(buffer, &map);
    return loud;
  }

  // The source stamps each buffer with the clock's time when it is read,
  // less the buffer's own length; the time its sound waited to be read (in
  // the sound server, in the source's ring buffer) is not taken off. On a
  // busy machine a read a few tenths of a second late so looks like sound
  // missing, and audiorate filled the "gap" with silence and dropped as much
  // sound after it: holes of a quarter second and more all through a
  // recording whose sound had in fact all arrived. The wait only ever makes
  // a stamp late, so each buffer is stamped anew from its sample count plus
  // the smallest lead of the stamps over the count in the last second. Sound
  // that really went missing (the server stalled, or its monitor delivered
  // less than the time that passed) raises the lead for good, and is filled
  // once it has lasted that second; samples the source dropped (a DISCONT,
  // its count jumps with them) and a new source start the lead afresh.
  GstBuffer* Steady(GstBuffer* buffer) {
    const GstClockTime counted = gst_util_uint64_scale_int(GST_BUFFER_OFFSET(buffer), GST_SECOND, kRate);
    const GstClockTimeDiff lead = GST_CLOCK_DIFF(counted, GST_BUFFER_PTS(buffer));
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT) ||
        (!leads_.empty() && counted < leads_.back().first)) {
      leads_.clear();
    }
    // Smallest lead of the window at the front, newest at the back.
    while (!leads_.empty() && counted - leads_.front().first > kLeadWindow) leads_.pop_front();
    while (!leads_.empty() && leads_.back().second >= lead) leads_.pop_back();
    leads_.emplace_back(counted, lead);
    const GstClockTimeDiff stamp = static_cast<GstClockTimeDiff>(counted) + leads_.front().second;
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(std::max<GstClockTimeDiff>(stamp, 0));
    return buffer;
  }

  // Sound at [start, start + duration) of the file's time line (the
  // pipeline's running time, from which audiorate fills the file): the
  // silence since the last sound is a gap when it lasted long enough.
  void HeardAt(GstClockTime start, GstClockTime duration) {
    std::lock_guard<std::mutex> lock(gapsMutex_);
    if (start > loudEnd_ && start - loudEnd_ >= kReportedGap) {
      gaps_.push_back(TSilentGap{static_cast<double>(loudEnd_) / GST_SECOND,
                                 static_cast<double>(start - loudEnd_) / GST_SECOND});
    }
    loudEnd_ = std::max(loudEnd_, start + duration);
  }

  // Streaming thread of the source (or the capture thread for the tail).
  static GstPadProbeReturn OnData(GstPad*, GstPadProbeInfo* info, gpointer userdata) {
    auto* self = static_cast<Run*>(userdata);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
      GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
      if (GST_BUFFER_PTS_IS_VALID(buffer) && GST_BUFFER_OFFSET_IS_VALID(buffer)) {
        buffer = self->Steady(buffer);
        GST_PAD_PROBE_INFO_DATA(info) = buffer;
      }
      const std::int64_t now = NowNs();
      std::uint64_t frames = gst_buffer_get_size(buffer) / kFrameBytes;
      const std::int64_t stopAt = self->stopAtNs_.load();
      if (stopAt >= 0 && GST_BUFFER_PTS_IS_VALID(buffer)) {
        // Sound after the end of the file (EndAtNow).
        const auto pts = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer));
        const std::uint64_t keep =
            pts >= stopAt ? 0
                          : gst_util_uint64_scale_int(static_cast<guint64>(stopAt - pts), kRate, GST_SECOND);
        if (keep == 0) {
          self->pastStop_ = true;
          return GST_PAD_PROBE_DROP;
        }
        if (keep < frames) {
          buffer = gst_buffer_make_writable(buffer);
          gst_buffer_resize(buffer, 0, static_cast<gssize>(keep * kFrameBytes));
          GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(keep, GST_SECOND, kRate);
          GST_PAD_PROBE_INFO_DATA(info) = buffer;
          frames = keep;
          self->pastStop_ = true;
        }
      }
      if (Loud(buffer)) {
        self->loudFrames_.fetch_add(frames);
        if (GST_BUFFER_PTS_IS_VALID(buffer)) {
          self->HeardAt(GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION_IS_VALID(buffer)
                                                    ? GST_BUFFER_DURATION(buffer)
                                                    : frames * GST_SECOND / kRate);
        }
      }
      if (self->frames_.fetch_add(frames) == 0 && frames > 0) {
        std::lock_guard<std::mutex> lock(self->owner_.statsMutex_);
        self->owner_.stats_.FirstBuffer = SteadyClock::time_point(std::chrono::nanoseconds(now));
        self->owner_.stats_.FirstBufferDuration = std::chrono::nanoseconds(
            GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : frames * GST_SECOND / kRate);
      }
      self->lastArrivalNs_ = now;
      if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        const GstClockTime duration =
            GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : frames * GST_SECOND / kRate;
        self->lastEndNs_ = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer) + duration);
      }
      return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    switch (GST_EVENT_TYPE(event)) {
      case GST_EVENT_EOS:
        // A source ends its stream when its server goes away; the recording
        // goes on (with a new source later) until it is stopped.
        return self->stopping_.load() ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
      case GST_EVENT_STREAM_START:
      case GST_EVENT_SEGMENT: {
        // A new source starts a new stream and segment; downstream must see
        // one continuous stream, or audiorate would start counting afresh
        // and fill from zero again. Marked handled (not dropped), so the pad
        // does not send them again with every buffer.
        std::atomic<bool>& seen =
            GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT ? self->seenSegment_ : self->seenStart_;
        if (seen.exchange(true)) {
          gst_event_unref(event);
          GST_PAD_PROBE_INFO_DATA(info) = nullptr;
          return GST_PAD_PROBE_HANDLED;
        }
        return GST_PAD_PROBE_OK;
      }
      default:
        return GST_PAD_PROBE_OK;
    }
  }

  TAudioCaptureThread& owner_;
  TGraph graph_;
  TGstPtr<GstElement> source_, caps_, rate_, encoder_, mux_, writer_;
  // The tagged file's tail (instead of mux_), and its Xing frame's counts.
  TGstPtr<GstElement> xing_, tagger_;
  TXingCounts xingCounts_{owner_.OutputFileName};
  SteadyClock::time_point nextXingUpdate_ = SteadyClock::now() + kXingUpdateInterval;
  TGstPtr<GstPad> probePad_;
  gulong probeId_ = 0;
  std::string device_;
  bool lineIsStereoMix_ = false;
  bool running_ = false;
  bool ended_ = false;        // nothing more reaches the file
  bool writerEnded_ = false;  // the writer ended the stream itself (file full)
  bool diskFull_ = false;     // the disk filled up: the capture stops
  double patchedShare_ = 1;   // of the payload passed on, the share that reached the disk
  std::uint64_t sourceGeneration_ = 0;
  std::uint64_t failedGeneration_ = 0;
  std::int64_t attachedNs_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> seenStart_{false};
  std::atomic<bool> seenSegment_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<std::uint64_t> loudFrames_{0};
  std::atomic<std::int64_t> lastArrivalNs_{0};
  std::atomic<std::int64_t> lastEndNs_{-1};
  // Where the file ends (running time), -1 while it goes on; and whether
  // sound beyond it has come.
  std::atomic<std::int64_t> stopAtNs_{-1};
  std::atomic<bool> pastStop_{false};
  // Streaming thread only: (sample-count time, lead of the stamp over it).
  std::deque<std::pair<GstClockTime, GstClockTimeDiff>> leads_;
  // The silent stretches found so far, and where the last sound ended.
  mutable std::mutex gapsMutex_;
  std::vector<TSilentGap> gaps_;
  GstClockTime loudEnd_ = 0;

  friend class TAudioCaptureThread;
};

// ---------------------------------------------------------------- TAudioCaptureThread

TAudioCaptureThread::TAudioCaptureThread(std::shared_ptr<TRecordingMixer> mixer, TCaptureOptions options)
    : mixer_(std::move(mixer)), options_(std::move(options)) {
  StopRequested.SetWake([this] { Wake(); });
}

TAudioCaptureThread::~TAudioCaptureThread() {
  // The thread must be gone before the members it uses, and the flag (which
  // outlives them) must no longer call into them.
  StopRequested = true;
  WaitFor();
  StopRequested.SetWake({});
}

void TAudioCaptureThread::Wake() {
  std::lock_guard<std::mutex> lock(wakeMutex_);
  if (wake_) wake_();
}

std::optional<std::string> TAudioCaptureThread::FindCaptureSource() {
  std::vector<TCaptureDevice> devices;
  if (EnsureGstInitialized()) {
    TSysDevEnum list("Audio/Source");
    for (int i = 0; i < list.Count(); ++i) {
      GstDevice* device = list.Device(i);
      TGCharPtr name(gst_device_get_display_name(device));
      devices.push_back(TCaptureDevice{name.c_str(), DeviceSource(device), name.get() != nullptr});
    }
  }
  TCaptureDevice mix;
  if (mixer_) {
    // A slot's recording finds its own mix first.
    mix.Source = mixer_->SlotLineSource(Slot);
    mix.FriendlyName = mixer_->SlotDeviceName(Slot);
  }
  // Only devices the sound server can record are of use here.
  std::erase_if(devices, [](const TCaptureDevice& d) { return d.Source.empty(); });
  devices = OrderCaptureDevices(std::move(devices), mix);
  const auto index = wavecrate::FindCaptureSource(devices, IsVista);
  if (!index) return std::nullopt;
  return devices[*index].Source;
}

bool TAudioCaptureThread::SelectStereoMixLine() {
  if (!mixer_) return false;
  const std::string source = mixer_->SlotLineSource(Slot);
  if (source.empty()) return false;
  selectedLine_ = source;
  return true;
}

TCaptureStats TAudioCaptureThread::Stats() const {
  std::lock_guard<std::mutex> lock(statsMutex_);
  return stats_;
}

TCaptureOutcome TAudioCaptureThread::Outcome() const {
  std::lock_guard<std::mutex> lock(statsMutex_);
  return outcome_;
}

bool TAudioCaptureThread::WriteHeaderNow(std::chrono::milliseconds bound) {
  if (!Started() || DoneEvent.IsSet()) return true;
  std::unique_lock<std::mutex> lock(headerMutex_);
  const std::uint64_t ticket = ++headerRequested_;
  lock.unlock();
  Wake();
  lock.lock();
  if (!headerCv_.wait_for(lock, bound, [&] { return headerServed_ >= ticket; })) {
    Log("the header was not written within " + std::to_string(bound.count()) + " ms (" + OutputFileName +
        ")");
    return false;
  }
  return headerOk_;
}

void TAudioCaptureThread::SetFault(TCaptureFault fault, const std::string& reason) {
  std::lock_guard<std::mutex> lock(statsMutex_);
  if (stats_.Fault != TCaptureFault::None || fault == TCaptureFault::None) return;
  stats_.Fault = fault;
  stats_.FaultReason = reason;
}

TCaptureFault TAudioCaptureThread::FolderFault(std::string* reason) const {
  std::error_code ec;
  const std::string folder = Folder(OutputFileName);
  if (!std::filesystem::is_directory(folder, ec)) {
    *reason = "the folder " + folder + " does not exist";
    return TCaptureFault::FolderMissing;
  }
  if (::access(folder.c_str(), W_OK) != 0) {
    *reason = "the folder " + folder + " cannot be written to";
    return TCaptureFault::FolderNotWritable;
  }
  return TCaptureFault::None;
}

TCaptureFault TAudioCaptureThread::SourceFault(std::string* reason) const {
  if (mixer_ && mixer_->ServerGeneration() == 0) {
    *reason = "no sound server";
    return TCaptureFault::NoSoundServer;
  }
  *reason = "no device to record from";
  return TCaptureFault::NoDevice;
}

void TAudioCaptureThread::SetOutcome(Run& run) {
  const double seconds = run.WrittenSeconds();
  const double loud = std::min(seconds, run.LoudSeconds());
  std::vector<TSilentGap> gaps = run.Gaps(seconds);
  std::lock_guard<std::mutex> lock(statsMutex_);
  if (stats_.Fault == TCaptureFault::None && stats_.Ran && !stats_.Finished && !stats_.HeaderPatched) {
    // Nothing went wrong while it recorded, but the file kept its
    // provisional header.
    stats_.Fault = TCaptureFault::PipelineFailed;
    stats_.FaultReason = "the file could not be finished: " + stats_.Failure;
  }
  outcome_.Ran = stats_.Ran && seconds > 0;
  outcome_.Finished = stats_.Finished || stats_.HeaderPatched;
  outcome_.DiskFull = stats_.DiskFull;
  outcome_.Seconds = seconds;
  outcome_.SilentSeconds = std::max(0.0, seconds - loud);
  outcome_.Fault = stats_.Fault;
  outcome_.Failure = stats_.FaultReason;
  outcome_.Gaps = std::move(gaps);
}

void TAudioCaptureThread::Execute() {
  bool muted = false;
  try {
    // What needs no pipeline is looked at first, so a recording that cannot
    // be made is told at once, before the speakers are touched.
    std::string reason;
    const TCaptureFault folder = FolderFault(&reason);
    if (folder != TCaptureFault::None) {
      Log(reason + "; nothing is recorded into " + OutputFileName);
      SetFault(folder, reason);
    }
    const bool gstReady = folder == TCaptureFault::None && EnsureGstInitialized() && RegisterWavDestFilter();
    const std::optional<std::string> found = gstReady ? FindCaptureSource() : std::nullopt;

    std::string device;
    if (gstReady && found) {
      // The stereo-mix line, and muting: without the Vista option the line is
      // always chosen; with it, the mixer is left alone unless muting.
      if (!IsVista || IsMute) SelectStereoMixLine();
      if (IsMute && mixer_) {
        // The loopback that carries this slot's sound (its own mix's, or the
        // shared one's); it follows the sound while the recording runs.
        const int mix = mixer_->SlotMix(Slot);
        muted = mixer_->MuteMix(mix);
        mutedMix_ = muted ? mix : -1;
      }
      // The chosen line decides what the found device records.
      device = selectedLine_.empty() ? *found : selectedLine_;
    }
    {
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.Device = device;
      stats_.Muted = muted;
    }

    Run run(*this);
    run.lineIsStereoMix_ = !selectedLine_.empty() || (mixer_ && device == mixer_->StereoMixLineSource());
    bool started = false;
    if (folder != TCaptureFault::None) {
      // Said above.
    } else if (!gstReady) {
      Log("GStreamer is not available; nothing is recorded");
      SetFault(TCaptureFault::NoEncoder, "the media framework (GStreamer) is not available");
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.Failure = "GStreamer is not available";
    } else if (device.empty()) {
      Log(std::string("no capture device") + (IsVista ? " whose name holds \"stereo\" or \"Stereo\"" : "") +
          "; nothing is recorded into " + OutputFileName);
      const TCaptureFault fault = SourceFault(&reason);
      SetFault(fault, reason);
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.Failure = "no capture device";
    } else if (run.Build(device)) {
      started = run.Start();
    }
    {
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.Ran = started;
      if (!started && stats_.Fault == TCaptureFault::None) {
        stats_.Fault = TCaptureFault::PipelineFailed;
        stats_.FaultReason = "the recording could not start: " + stats_.Failure;
      }
    }
    if (started) StartedEvent.SetEvent();

    // The flag is tested before the first wait. A fault (a full disk, the
    // size limit, a failed write) ends the recording by itself; a capture
    // that could not start does not wait for the stop.
    if (started) run.Watch();
    {
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.StopSeen = SteadyClock::now();
    }
    run.Finish();
    {
      std::lock_guard<std::mutex> lock(statsMutex_);
      stats_.CapturedFrames = run.Frames();
      stats_.FileFinished = SteadyClock::now();
    }
    SetOutcome(run);
  } catch (const std::exception& e) {
    Log(std::string("recording aborted: ") + e.what());
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_.Failure = e.what();
    outcome_.Failure = std::string("the recording was aborted: ") + e.what();
    if (outcome_.Fault == TCaptureFault::None) outcome_.Fault = TCaptureFault::PipelineFailed;
  } catch (...) {
    Log("recording aborted");
    std::lock_guard<std::mutex> lock(statsMutex_);
    outcome_.Failure = "the recording was aborted";
    if (outcome_.Fault == TCaptureFault::None) outcome_.Fault = TCaptureFault::PipelineFailed;
  }
  // A capture that never started says so before it restores anything.
  StartedEvent.SetEvent();
  if (mutedMix_ >= 0) {
    try {
      mixer_->RestoreMix(mutedMix_);
    } catch (...) {
      Log("the speakers could not be restored");
    }
    mutedMix_ = -1;
  }
  {
    // The file is as finished as it gets: no header request waits longer.
    std::lock_guard<std::mutex> lock(headerMutex_);
    headerServed_ = headerRequested_;
  }
  headerCv_.notify_all();
  DoneEvent.SetEvent();
}

// ---------------------------------------------------------------- factory and exit

namespace {

std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::vector<std::weak_ptr<TCaptureThreadBase>>& Registry() {
  static std::vector<std::weak_ptr<TCaptureThreadBase>> r;
  return r;
}

}  // namespace

TCaptureFactory MakeAudioCaptureFactory(std::shared_ptr<TRecordingMixer> mixer, TCaptureOptions options) {
  return [mixer = std::move(mixer), options = std::move(options)]() -> std::shared_ptr<TCaptureThreadBase> {
    auto capture = std::make_shared<TAudioCaptureThread>(mixer, options);
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto& registry = Registry();
    std::erase_if(registry, [](const std::weak_ptr<TCaptureThreadBase>& w) { return w.expired(); });
    registry.push_back(capture);
    return capture;
  };
}

bool StopAndWait(TCaptureThreadBase& capture, std::chrono::milliseconds bound) {
  capture.StopRequested = true;
  if (!capture.Started()) return true;
  return capture.DoneEvent.WaitFor(bound);
}

bool StopAllCapturesAndWait(std::chrono::milliseconds bound) {
  std::vector<std::shared_ptr<TCaptureThreadBase>> running;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const auto& w : Registry()) {
      if (auto capture = w.lock()) running.push_back(std::move(capture));
    }
  }
  for (const auto& capture : running) capture->StopRequested = true;
  const auto end = SteadyClock::now() + bound;
  bool all = true;
  for (const auto& capture : running) {
    if (!capture->Started()) continue;
    const auto left = std::chrono::duration_cast<Ms>(end - SteadyClock::now());
    if (!capture->DoneEvent.WaitFor(left.count() > 0 ? left : Ms(0))) {
      Log("a recording was not finished in time at exit: " + capture->OutputFileName);
      all = false;
    }
  }
  return all;
}

bool WriteAllCaptureHeadersNow(std::chrono::milliseconds bound) {
  std::vector<std::shared_ptr<TAudioCaptureThread>> running;
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (const auto& w : Registry()) {
      if (auto capture = std::dynamic_pointer_cast<TAudioCaptureThread>(w.lock())) {
        if (capture->Started() && !capture->DoneEvent.IsSet()) running.push_back(std::move(capture));
      }
    }
  }
  // All asked at once, so the bound is shared rather than added up.
  std::vector<std::thread> askers;
  std::vector<char> done(running.size(), 0);
  for (std::size_t i = 0; i < running.size(); ++i) {
    askers.emplace_back([&, i] { done[i] = running[i]->WriteHeaderNow(bound) ? 1 : 0; });
  }
  for (auto& t : askers) t.join();
  return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
}

}  // namespace wavecrate
