// Choosing the capture device of a recording.
//
// Two rules, chosen by the "My operating system is Vista" option:
//   - off: the first device of the list, whatever its name;
//   - on:  the first device whose name can be read and contains "stereo" or,
//          failing that, "Stereo" (case-sensitive: "STEREO" matches neither).
// The list is the system's audio-input devices with the program's own
// stereo-mix line put first, so that both rules find it: without that order
// the first device could be a microphone, and a microphone is often called
// "... Analog Stereo".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wavecrate {

struct TCaptureDevice {
  std::string FriendlyName;  // as the device list shows it
  std::string Source;        // the sound server's source name
  bool NameReadable = true;  // false when the list could not give a name
  bool operator==(const TCaptureDevice&) const = default;
};

// Index of the device to record from, nullopt when none qualifies (an empty
// list included).
std::optional<std::size_t> FindCaptureSource(const std::vector<TCaptureDevice>& devices, bool isVista);

// The device list with `stereoMix` first: moved there when the list holds a
// device with its source, added when it does not. An empty stereoMix.Source
// leaves the list as it is.
std::vector<TCaptureDevice> OrderCaptureDevices(std::vector<TCaptureDevice> devices,
                                                const TCaptureDevice& stereoMix);

}  // namespace wavecrate
