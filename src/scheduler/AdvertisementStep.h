// The step a slot thread runs after each recording: put an advertisement clip
// in front of the recording. Returns true when it produced a mixed file that
// must be converted over the recording; false when nothing is left to convert
// (no clip, a failure that left the recording as it was, or a step that has
// already put the mix in place of the recording itself). The real step is TAd
// (scheduler/gst/AdMixer.h).
#pragma once

#include <string>

namespace wavecrate {

class IAdvertisementStep {
 public:
  virtual ~IAdvertisementStep() = default;
  // `mixedFile` receives the path of the mixed file when true is returned.
  virtual bool MixAdWithRecording(const std::string& recordingFile, const std::string& adUrl,
                                  std::string& mixedFile) = 0;
};

// Until advertisement mixing is built, no clip is ever mixed and the raw
// recording stays as it is.
class TNoAdvertisementStep final : public IAdvertisementStep {
 public:
  bool MixAdWithRecording(const std::string&, const std::string&, std::string&) override { return false; }
};

}  // namespace wavecrate
