// The step a slot thread runs after each recording: put an advertisement clip
// in front of the recording, in place. Returns true when the recording now
// begins with the clip; false when it is left as it was (no clip, or a
// failure). The real step is TAd (scheduler/gst/AdMixer.h).
#pragma once

#include <string>

namespace wavecrate {

class IAdvertisementStep {
 public:
  virtual ~IAdvertisementStep() = default;
  virtual bool MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl) = 0;
};

// Until advertisement mixing is built, no clip is ever mixed and the raw
// recording stays as it is.
class TNoAdvertisementStep final : public IAdvertisementStep {
 public:
  bool MixAdWithRecording(const std::string&, const std::string&) override { return false; }
};

}  // namespace wavecrate
