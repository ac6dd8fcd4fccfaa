#include "ondrelkit/pulse/device_info.h"

#include <string_view>

#include "ondrelkit/audio_hardware.h"

namespace ondrel::pulse {

DeviceInfo describe(const pa_sink_info& sink) {
  DeviceInfo info;
  info.name = sink.name ? sink.name : "";
  info.description = sink.description ? sink.description : info.name;
  info.monitorSource = sink.monitor_source_name ? sink.monitor_source_name : "";
  info.transport = transportType(pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_BUS),
                                 pa_proplist_gets(sink.proplist, PA_PROP_DEVICE_CLASS),
                                 (sink.flags & PA_SINK_HARDWARE) != 0);
  info.sampleSpec = sink.sample_spec;
  info.map = sink.channel_map;
  return info;
}

DeviceInfo describe(const pa_source_info& source) {
  DeviceInfo info;
  info.isSource = true;
  info.name = source.name ? source.name : "";
  info.description = source.description ? source.description : info.name;
  info.isMonitor = source.monitor_of_sink != PA_INVALID_INDEX;
  info.transport = transportType(pa_proplist_gets(source.proplist, PA_PROP_DEVICE_BUS),
                                 pa_proplist_gets(source.proplist, PA_PROP_DEVICE_CLASS),
                                 (source.flags & PA_SOURCE_HARDWARE) != 0);
  info.sampleSpec = source.sample_spec;
  info.map = source.channel_map;
  return info;
}

std::uint32_t transportType(const char* bus, const char* deviceClass, bool hardware) {
  const std::string_view busName = bus ? bus : "";
  const std::string_view className = deviceClass ? deviceClass : "";
  if (busName == "pci" || busName == "platform" || busName == "isa") {
    return kAudioDeviceTransportTypeBuiltIn;
  }
  if (busName == "usb") return kAudioDeviceTransportTypeUSB;
  if (busName == "bluetooth") return kAudioDeviceTransportTypeBluetooth;
  if (busName.empty() && (className == "abstract" || className == "filter" || !hardware)) {
    return kAudioDeviceTransportTypeVirtual;
  }
  return 0;
}

}  // namespace ondrel::pulse
