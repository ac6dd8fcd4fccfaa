#include <gtest/gtest.h>

#include <cmath>

#include "fake_audio_hardware.h"
#include "ondrelkit/capture_error.h"
#include "ondrelkit/devices.h"
#include "ondrelkit/process_tap_recorder.h"
#include "ondrelkit/system_tap.h"

namespace ondrel {
namespace {

using testing::FakeAudioHardware;
using testing::FakeDevice;

FakeDevice input(AudioObjectID id, std::uint32_t transport, std::string uid = "") {
  return {.id = id, .uid = uid, .inputStreamSize = 8, .transport = transport};
}
FakeDevice output(AudioObjectID id, std::uint32_t transport) {
  return {.id = id, .uid = "out", .inputStreamSize = 0, .transport = transport};
}

std::string errorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const CaptureError& error) {
    EXPECT_EQ(error.description(), error.what());
    return error.what();
  }
  return "no error";
}

TEST(CaptureError, TextFormNamesTheStepAndTheSignedStatus) {
  EXPECT_EQ(CaptureError::osStatus("device list", -50).description(),
            "device list failed (OSStatus -50)");
  EXPECT_EQ(CaptureError::osStatus("re-start", kAudioHardwareNotRunningError).description(),
            "re-start failed (OSStatus 1937010544)");
  EXPECT_EQ(CaptureError::message("no usable built-in microphone found").description(),
            "no usable built-in microphone found");
}

TEST(MicrophoneChoice, BuiltInAnywhereBeatsAnEarlierUsbInput) {
  FakeAudioHardware hw;
  hw.devices = {input(10, kAudioDeviceTransportTypeUSB),
                output(11, kAudioDeviceTransportTypeBuiltIn),
                input(12, kAudioDeviceTransportTypeBuiltIn)};
  EXPECT_EQ(builtInInputDeviceID(hw), 12u);
}

TEST(MicrophoneChoice, OutputOnlyBuiltInsAreSkippedForAnotherInput) {
  FakeAudioHardware hw;
  hw.devices = {output(10, kAudioDeviceTransportTypeBuiltIn),
                input(11, kAudioDeviceTransportTypeVirtual),
                input(12, kAudioDeviceTransportTypeUSB)};
  EXPECT_EQ(builtInInputDeviceID(hw), 12u);
}

TEST(MicrophoneChoice, OnlyAggregateAndVirtualInputsFindNothing) {
  FakeAudioHardware hw;
  hw.devices = {input(10, kAudioDeviceTransportTypeAggregate),
                input(11, kAudioDeviceTransportTypeVirtual)};
  EXPECT_EQ(errorText([&] { builtInInputDeviceID(hw); }), "no usable built-in microphone found");
}

TEST(MicrophoneChoice, UnreadableTransportIsTakenInTheSecondPass) {
  FakeAudioHardware hw;
  FakeDevice unknown = input(10, kAudioDeviceTransportTypeVirtual);
  unknown.transportStatus = kAudioHardwareUnknownPropertyError;
  FakeDevice brokenStreams = input(9, kAudioDeviceTransportTypeBuiltIn);
  brokenStreams.streamStatus = -50;
  hw.devices = {brokenStreams, unknown, input(11, kAudioDeviceTransportTypeAggregate)};
  EXPECT_EQ(builtInInputDeviceID(hw), 10u);
}

TEST(MicrophoneChoice, AnEmptyListAsksNoDevice) {
  FakeAudioHardware hw;
  EXPECT_EQ(errorText([&] { builtInInputDeviceID(hw); }), "no usable built-in microphone found");
  EXPECT_EQ(hw.operationCount(), 2u);  // the size and the (empty) list, nothing per device
}

TEST(MicrophoneChoice, ListReadFailuresCarryTheirStatus) {
  FakeAudioHardware hw;
  hw.devices = {input(10, kAudioDeviceTransportTypeBuiltIn)};
  hw.deviceListSizeStatus = kAudioHardwareNotRunningError;
  EXPECT_EQ(errorText([&] { builtInInputDeviceID(hw); }),
            "device list size failed (OSStatus 1937010544)");
  hw.deviceListSizeStatus = 0;
  hw.deviceListStatus = -50;
  EXPECT_EQ(errorText([&] { builtInInputDeviceID(hw); }), "device list failed (OSStatus -50)");
}

TEST(DeviceQueries, UidAndRateReadOrFailWithTheirStep) {
  FakeAudioHardware hw;
  FakeDevice mic = input(10, kAudioDeviceTransportTypeBuiltIn, "alsa_input.pci-mic");
  mic.nominalRate = 0.0;
  hw.devices = {mic};
  EXPECT_EQ(deviceUID(hw, 10), "alsa_input.pci-mic");
  EXPECT_EQ(nominalSampleRate(hw, 10), 0.0);
  hw.devices[0].uidStatus = kAudioHardwareBadObjectError;
  hw.devices[0].rateStatus = -50;
  EXPECT_EQ(errorText([&] { deviceUID(hw, 10); }), "device UID failed (OSStatus 560947818)");
  EXPECT_EQ(errorText([&] { nominalSampleRate(hw, 10); }),
            "get nominal sample rate failed (OSStatus -50)");
}

TEST(DeviceQueries, UsableRateRoundsHalvesAwayAndFallsBackTo48000) {
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(48000.0), 48000u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(44100.0), 44100u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(44100.5), 44101u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(44100.49), 44100u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(0.0), 48000u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(-44100.0), 48000u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(std::nan("")), 48000u);
  EXPECT_EQ(ProcessTapRecorder::usableSampleRate(INFINITY), 48000u);
}

TEST(SystemTap, EachTapHasAFreshUuidAndPlaysOnUnmuted) {
  FakeAudioHardware hw;
  const SystemTap first = createSystemTap(hw);
  const SystemTap second = createSystemTap(hw);
  EXPECT_NE(first.uuid, second.uuid);
  EXPECT_NE(first.tapID, second.tapID);
  const auto description = hw.lastTapDescription();
  ASSERT_TRUE(description);
  EXPECT_EQ(description->uuid, second.uuid);
  EXPECT_EQ(description->muteBehavior, 0);
  EXPECT_TRUE(description->excludedProcesses.empty());
  EXPECT_TRUE(description->stereo && description->global);

  hw.failOperation("AudioHardwareCreateProcessTap", -50);
  EXPECT_EQ(errorText([&] { createSystemTap(hw); }),
            "AudioHardwareCreateProcessTap failed (OSStatus -50)");
}

TEST(AggregateDevice, DescriptionHasExactlySevenKeysAndAFreshUid) {
  const Uuid tap = Uuid::random();
  const auto a = aggregateDeviceDescription("mic-uid", tap);
  const auto b = aggregateDeviceDescription("mic-uid", tap);
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a["name"], "Murmuro Capture");
  EXPECT_EQ(a["private"], true);
  EXPECT_EQ(a["stacked"], false);
  EXPECT_EQ(a["master"], "mic-uid");
  EXPECT_EQ(a["subdevices"], nlohmann::json::parse(R"([{"uid":"mic-uid"}])"));
  ASSERT_EQ(a["taps"].size(), 1u);
  EXPECT_EQ(a["taps"][0].size(), 2u);
  EXPECT_EQ(a["taps"][0]["drift"], true);
  EXPECT_EQ(a["taps"][0]["uid"], tap.uuidString());
  auto isUpperUuid = [](const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      const char c = text[i];
      if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
  };
  EXPECT_TRUE(isUpperUuid(a["uid"].get<std::string>()));
  EXPECT_TRUE(isUpperUuid(tap.uuidString()));
  EXPECT_NE(a["uid"], b["uid"]);
  auto withoutUid = [](nlohmann::json d) {
    d.erase("uid");
    return d;
  };
  EXPECT_EQ(withoutUid(a), withoutUid(b));

  FakeAudioHardware hw;
  hw.failOperation("AudioHardwareCreateAggregateDevice", kAudioHardwareBadDeviceError);
  EXPECT_EQ(errorText([&] { createAggregateDevice(hw, "mic-uid", tap); }),
            "AudioHardwareCreateAggregateDevice failed (OSStatus 560227702)");
}

}  // namespace
}  // namespace ondrel
