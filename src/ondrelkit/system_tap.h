// The two platform objects a recording captures through: a stereo tap over the output of all
// processes, and a private aggregate device that joins the microphone (its clock master) and the
// tap.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/uuid.h"

namespace ondrel {

struct SystemTap {
  AudioObjectID tapID = kAudioObjectUnknown;
  Uuid uuid;
};

SystemTap createSystemTap(AudioHardware& hw);

// The aggregate device's description: exactly seven keys, with a fresh "uid" on every call.
nlohmann::json aggregateDeviceDescription(const std::string& micUID, const Uuid& tapUUID);

AudioObjectID createAggregateDevice(AudioHardware& hw, const std::string& micUID,
                                    const Uuid& tapUUID);

}  // namespace ondrel
