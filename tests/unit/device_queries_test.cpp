#include <gtest/gtest.h>

#include <cmath>

#include "fake_audio_hardware.h"
#include "ondrelkit/capture_error.h"
#include "ondrelkit/devices.h"
#include "ondrelkit/process_tap_recorder.h"

namespace ondrel {
namespace {

using testing::FakeAudioHardware;
using testing::FakeDevice;

FakeDevice input(AudioObjectID id, std::uint32_t transport) {
  return {.id = id, .uid = "in", .inputStreamSize = 8, .transport = transport};
}
FakeDevice output(AudioObjectID id, std::uint32_t transport) {
  return {.id = id, .uid = "out", .inputStreamSize = 0, .transport = transport};
}

// The device chosen from the list, or the error's text.
TEST(MicrophoneChoice, DeviceListToChosenDeviceOrError) {
  constexpr auto builtIn = kAudioDeviceTransportTypeBuiltIn, usb = kAudioDeviceTransportTypeUSB,
                 virt = kAudioDeviceTransportTypeVirtual,
                 aggregate = kAudioDeviceTransportTypeAggregate;
  const std::string none = "no usable built-in microphone found";
  const struct {
    std::vector<FakeDevice> devices;
    std::string chosen;
    std::vector<std::pair<std::string, OSStatus>> failures = {};
  } cases[] = {
      {{input(10, usb), output(11, builtIn), input(12, builtIn)}, "12"},
      {{output(10, builtIn), input(11, virt), input(12, usb)}, "12"},
      {{input(10, aggregate), input(11, virt)}, none},
      {{input(9, builtIn), input(10, virt), input(11, aggregate)},
       "10",
       {{"Streams(9)", -50}, {"TransportType(10)", kAudioHardwareUnknownPropertyError}}},
      {{}, none},
      {{input(10, builtIn)},
       "device list size failed (OSStatus 1937010544)",
       {{"DeviceListSize", kAudioHardwareNotRunningError}}},
      {{input(10, builtIn)}, "device list failed (OSStatus -50)", {{"DeviceList", -50}}},
  };
  for (const auto& c : cases) {
    FakeAudioHardware hw;
    hw.devices = c.devices;
    for (const auto& [operation, status] : c.failures) hw.failOperation(operation, status);
    std::string chosen;
    try {
      chosen = std::to_string(builtInInputDeviceID(hw));
    } catch (const CaptureError& error) {
      chosen = error.what();
    }
    EXPECT_EQ(chosen, c.chosen);
  }
}

TEST(DeviceQueries, UsableRateRoundsHalvesAwayAndFallsBackTo48000) {
  for (const auto& [nominal, usable] :
       std::vector<std::pair<double, std::uint32_t>>{{48000.0, 48000},
                                                     {44100.5, 44101},
                                                     {44100.49, 44100},
                                                     {0.0, 48000},
                                                     {-44100.0, 48000},
                                                     {std::nan(""), 48000},
                                                     {INFINITY, 48000},
                                                     {1e10, 48000}}) {
    EXPECT_EQ(ProcessTapRecorder::usableSampleRate(nominal), usable) << nominal;
  }
}

}  // namespace
}  // namespace ondrel
