// The questions the backend asks the sound server. Each is called with the mainloop lock held on
// a connected PulseConnection, waits a bounded time, and tells "no answer" (the server is gone or
// hung) apart from "no such thing".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ondrelkit/pulse/device_info.h"
#include "ondrelkit/pulse/pulse_connection.h"

namespace ondrel::pulse {

// Every sink, then every source (monitors included), in the server's order.
std::optional<std::vector<DeviceInfo>> listDevices(PulseConnection& connection);

struct Lookup {
  bool answered = false;
  std::optional<DeviceInfo> device;  // empty when the server has no such device
};
Lookup findDevice(PulseConnection& connection, bool isSource, const std::string& name);

// The default sink's and source's names ("" when there is none).
struct Defaults {
  std::string sink;
  std::string source;
};
std::optional<Defaults> defaultNames(PulseConnection& connection);
inline std::optional<std::string> defaultSinkName(PulseConnection& connection) {
  const auto names = defaultNames(connection);
  return names ? std::optional(names->sink) : std::nullopt;
}

}  // namespace ondrel::pulse
