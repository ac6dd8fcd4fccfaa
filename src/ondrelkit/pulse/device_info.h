// A sink or source as the sound server describes it, and its Core Audio transport type.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

namespace ondrel::pulse {

struct DeviceInfo {
  bool isSource = false;
  std::string name;
  std::string description;    // for people
  std::string monitorSource;  // a sink's monitor
  bool isMonitor = false;     // a source that is the monitor of a sink
  std::uint32_t transport = 0;
  pa_sample_spec sampleSpec{};
  pa_channel_map map{};
};

DeviceInfo describe(const pa_sink_info& sink);
DeviceInfo describe(const pa_source_info& source);

// bus: the device.bus property; deviceClass: device.class (either may be null); hardware: the
// device's hardware flag. Built-in for pci, platform and isa; usb; bluetooth; virtual for a
// device without a bus that is abstract, a filter, or not hardware; otherwise 0 (unknown).
std::uint32_t transportType(const char* bus, const char* deviceClass, bool hardware);

}  // namespace ondrel::pulse
