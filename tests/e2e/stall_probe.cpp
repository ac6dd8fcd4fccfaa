// Records through the sound-server backend into a WAV file, with the I/O block held up once for a
// while (a disk that stops answering): what the binary cannot be made to do from outside.
//   ondrel_stall_probe <wav> <seconds to record> <stall after seconds> <stall seconds>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "ondrelkit/process_tap_recorder.h"
#include "ondrelkit/pulse/pulse_hardware.h"

namespace {

using Seconds = std::chrono::duration<double>;

class StallingHardware : public ondrel::PulseHardware {
 public:
  StallingHardware(Seconds after, Seconds length) : after_(after), length_(length) {}

  ondrel::OSStatus AudioDeviceCreateIOProcIDWithBlock(ondrel::AudioDeviceIOProcID& procID,
                                                      ondrel::AudioObjectID device,
                                                      ondrel::AudioDeviceIOBlock block) override {
    const auto stallAt = std::chrono::steady_clock::now() + after_;
    return PulseHardware::AudioDeviceCreateIOProcIDWithBlock(
        procID, device, [this, stallAt, block = std::move(block)](auto... arguments) {
          if (std::chrono::steady_clock::now() > stallAt && !stalled_.exchange(true)) {
            std::this_thread::sleep_for(length_);
          }
          block(arguments...);
        });
  }

 private:
  const Seconds after_, length_;
  std::atomic<bool> stalled_{false};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <wav> <seconds> <stall after> <stall seconds>\n", argv[0]);
    return 2;
  }
  auto hardware =
      std::make_shared<StallingHardware>(Seconds(std::stod(argv[3])), Seconds(std::stod(argv[4])));
  auto recorder = ondrel::ProcessTapRecorder::create(hardware, argv[1]);
  recorder->start();
  std::this_thread::sleep_for(Seconds(std::stod(argv[2])));
  recorder->stop();
  std::printf("%llu\n", static_cast<unsigned long long>(recorder->framesWritten()));
  return 0;
}
