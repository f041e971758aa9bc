// The media-graph operations that capture, conversion and the advertisement
// step share: GStreamer start-up, building and running a pipeline, stopping it
// so that its files are finished, the audio device list and the MP3 encoder.
#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/EncoderSettings.h"
#include "audio/gst/GstHandles.h"

namespace wavecrate {

// gst_init once for the process (thread-safe). False when GStreamer cannot be
// initialised (the reason is logged to stderr). The first call also fixes
// the priority of GLib's shared thread pool (every graph's streaming) at the
// caller's: make it from a thread at the program's own priority, before any
// thread lowers its own.
bool EnsureGstInitialized();

// gst_element_factory_make with the floating reference sunk; logs to stderr
// and returns an empty handle when the factory is missing.
TGstPtr<GstElement> MakeElement(const char* factory, const char* name = nullptr);

// A filesink for `path`. A recording is written with a small write-behind
// buffer so that a crash loses well under a second of it; a bulk conversion
// uses filesink's ordinary buffering.
enum class TFileSinkMode { Recording, Bulk };
TGstPtr<GstElement> CreateFileSink(const std::string& path, TFileSinkMode mode, const char* name = nullptr);

// Judges a running graph stalled once a byte count it produces (what its
// writer has written, what leaves a source) has not moved for `Limit`; fed
// from TGraph::WaitForEnd's progress call, every 100 ms.
struct TStallJudge {
  std::chrono::milliseconds Limit{};
  std::uint64_t LastBytes = 0;
  std::chrono::steady_clock::time_point LastChange = std::chrono::steady_clock::now();
  bool Stalled = false;

  // False once the count has stood still for longer than Limit.
  bool StillMoving(std::uint64_t bytes) {
    const auto now = std::chrono::steady_clock::now();
    if (bytes != LastBytes) {
      LastBytes = bytes;
      LastChange = now;
      return true;
    }
    Stalled = now - LastChange > Limit;
    return !Stalled;
  }
};

// How a wait for the end of a stream ended.
enum class TGraphEnd {
  Eos,        // every sink got end-of-stream: files are finished
  Error,      // an element posted an error
  Timeout,    // nothing ended in time
  Cancelled,  // the caller's cancel flag was raised
};

// One pipeline, driven by one thread. Owns the GstPipeline; the destructor
// sets it to NULL (without waiting for end-of-stream) if the owner did not.
class TGraph {
 public:
  explicit TGraph(const char* name = nullptr);
  ~TGraph();
  TGraph(const TGraph&) = delete;
  TGraph& operator=(const TGraph&) = delete;

  GstElement* Pipeline() const { return pipeline_.get(); }
  GstBin* Bin() const { return GST_BIN(pipeline_.get()); }
  explicit operator bool() const { return static_cast<bool>(pipeline_); }

  // Adds an element (the bin takes a reference of its own). False (logged)
  // for an empty handle or a name already used in the pipeline.
  bool Add(const TGstPtr<GstElement>& element);
  // Adds all and links them in order; false (logged) at the first failure.
  bool AddAndLink(std::initializer_list<const TGstPtr<GstElement>*> chain);

  // Sets PLAYING. False when the state change failed at once, or an error
  // was posted while a non-live pipeline prerolled within `prerollTimeout`
  // (the first error text goes to *error); the pipeline is then back in NULL.
  // Messages other than errors that arrive during the preroll are dropped.
  // The error message itself goes to *errorMessage, for callers that decide
  // on its domain, code and source element.
  bool Run(std::chrono::milliseconds prerollTimeout = std::chrono::seconds(10), std::string* error = nullptr,
           TGstPtr<GstMessage>* errorMessage = nullptr);

  // Waits for EOS or ERROR on the bus for at most `timeout`, checking
  // `cancel` (may be null) every 100 ms. The error text goes to *error.
  // `progress` (may be null), when given, is called every 100 ms on this
  // thread; returning false ends the wait as Timeout (a stall watchdog).
  using TProgress = bool (*)(void* context);
  TGraphEnd WaitForEnd(std::chrono::milliseconds timeout, const std::atomic<bool>* cancel = nullptr,
                       std::string* error = nullptr, TProgress progress = nullptr, void* context = nullptr);

  // Ends the stream so that the last data and the file headers are written:
  // sends EOS into the pipeline, waits up to `timeout` for it (or an error)
  // to reach the bus, then sets NULL. True when EOS arrived. A pipeline that
  // never ran is simply set to NULL (true).
  bool Stop(std::chrono::milliseconds timeout = std::chrono::seconds(5), std::string* error = nullptr);

  // Sets NULL now (no EOS). Never blocks on a state change indefinitely:
  // going down to NULL is synchronous in GStreamer.
  void SetNull();

 private:
  TGstPtr<GstElement> pipeline_;
  bool ran_ = false;
};

// The device list of one class ("Audio/Source" for capture), as the
// GstDeviceMonitor gives it, in the monitor's order. Friendly name = the
// device's display name.
class TSysDevEnum {
 public:
  explicit TSysDevEnum(const char* deviceClass = "Audio/Source");
  // Built from a list the caller already has (taken in that order).
  explicit TSysDevEnum(std::vector<TGstPtr<GstDevice>> devices);

  int Count() const { return static_cast<int>(devices_.size()); }
  // "" when out of range.
  std::string FriendlyName(int index) const;
  // Null when out of range (borrowed; valid while this object lives).
  GstDevice* Device(int index) const;
  const std::vector<TGstPtr<GstDevice>>& Devices() const { return devices_; }
  // A new source element for device `index`; empty when out of range or the
  // device cannot make one.
  TGstPtr<GstElement> CreateElement(int index, const char* name = nullptr) const;

 private:
  std::vector<TGstPtr<GstDevice>> devices_;
};

// The MP3 encoder as one element with a "sink" pad (any raw audio) and a
// "src" pad (audio/mpeg layer 3): audioconvert ! audioresample ! capsfilter
// ! lamemp3enc ! capsfilter, both filters holding the file's sample rate and
// channel count (PlanMp3), so the file has the rate and mode the settings
// say. The first form reads the encoder's settings file beside the
// executable each time it is called.
TGstPtr<GstElement> CreateMp3Encoder(const char* name = nullptr);
TGstPtr<GstElement> CreateMp3Encoder(const TEncoderSettings& settings, const char* name = nullptr);

// Whether an MP3 encoder can be made here at all (GStreamer starts and its
// registry offers lamemp3enc). False is logged.
bool Mp3EncoderAvailable();

// The error (or warning) a bus message carries, and its debug details when
// `debug` is given; empty for other messages.
TGErrorPtr MessageError(GstMessage* message, TGCharPtr* debug = nullptr);
// Text of an error message (message and debug details) for logs.
std::string DescribeError(GstMessage* message);

}  // namespace wavecrate
