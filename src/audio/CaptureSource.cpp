#include "audio/CaptureSource.h"

#include <algorithm>

namespace wavecrate {

std::optional<std::size_t> FindCaptureSource(const std::vector<TCaptureDevice>& devices, bool isVista) {
  if (devices.empty()) return std::nullopt;
  if (!isVista) return 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const TCaptureDevice& device = devices[i];
    if (!device.NameReadable) continue;
    if (device.FriendlyName.find("stereo") != std::string::npos ||
        device.FriendlyName.find("Stereo") != std::string::npos) {
      return i;
    }
  }
  return std::nullopt;
}

std::vector<TCaptureDevice> OrderCaptureDevices(std::vector<TCaptureDevice> devices,
                                                const TCaptureDevice& stereoMix) {
  if (stereoMix.Source.empty()) return devices;
  const auto found = std::find_if(devices.begin(), devices.end(),
                                  [&](const TCaptureDevice& d) { return d.Source == stereoMix.Source; });
  TCaptureDevice first = stereoMix;
  if (found != devices.end()) {
    // The list's own entry wins: its name is what the system shows.
    first = *found;
    if (!first.NameReadable && stereoMix.NameReadable) first = stereoMix;
    devices.erase(found);
  }
  devices.insert(devices.begin(), std::move(first));
  return devices;
}

}  // namespace wavecrate
