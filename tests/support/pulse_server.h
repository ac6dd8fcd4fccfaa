// A private sound server for integration tests: PulseAudio, or PipeWire with its pulse server,
// each with its own runtime folder, so the tests never touch a desktop's server.
//
// The server offers two null sinks, "speakers" (the default) and "speakers2", and a built-in
// microphone "builtin_mic" (mono, device.bus=pci) remapped from the monitor of a third null sink,
// "micfeed": a tone played into "micfeed" is what the microphone hears. PULSE_SERVER points this
// process (and the tools it starts) at the server while it lives; everything it started is
// stopped on destruction, leaving no daemon behind.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace ondrel::testing {

enum class SoundServerKind { pulseAudio, pipeWire };

std::string to_string(SoundServerKind kind);

struct Tone {
  double frequency = 440.0;
  float leftAmplitude = 0.5f;
  float rightAmplitude = 0.5f;
};

class PulseServer {
 public:
  static constexpr std::uint32_t kRate = 48000;

  // Starts the server; throws std::runtime_error with the reason and the server's log if it
  // cannot. withMicrophone false leaves the microphone out.
  explicit PulseServer(SoundServerKind kind, bool withMicrophone = true);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  SoundServerKind kind() const { return kind_; }

  // A tone played into a sink until the handle is dropped. The playback stays on that sink when
  // the default sink changes (the servers move other streams along with the default).
  class Playback {
   public:
    virtual ~Playback() = default;
  };
  std::unique_ptr<Playback> play(const std::string& sink, const Tone& tone);

  // Returns once the server reports it as the default.
  void setDefaultSink(const std::string& sink);
  // Holds a sink at about 1 ms of latency while the server lives (a reader of its monitor asks
  // for that).
  void holdLowLatency(const std::string& sink);
  // Runs a command (pactl with these arguments) against the server; throws if it fails.
  // Returns its standard output.
  std::string run(const std::vector<std::string>& argv);
  std::string pactl(const std::vector<std::string>& arguments);
  // Unloads the microphone's module, so that builtin_mic goes away; returns once it has.
  void removeMicrophone();
  // Loads the microphone again, at this rate; returns once builtin_mic is there.
  void addMicrophone(std::uint32_t rate);
  // Kills every record stream of this process, as the server does to a stream it can no longer
  // serve. Returns how many.
  int killOwnRecordStreams();
  // Kills the sound server outright, as a crash would.
  void kill();
  // Kills it and starts it again on the same socket, as a crashed server that is restarted;
  // playbacks of the old one are gone.
  void restart();
  // Stops the sound server without killing it, as a hang would (until destruction).
  void freeze();

 private:
  pid_t spawn(const std::vector<std::string>& argv, const std::filesystem::path& output);
  void startPulseAudio(bool withMicrophone);
  void startSessionBus();
  void startPipeWire(bool withMicrophone);
  void waitUntilAnswering();
  void waitForMicrophone(bool present);
  void openMonitorReaders();
  [[noreturn]] void fail(const std::string& why);
  void stopAll();

  const SoundServerKind kind_;
  const bool withMicrophone_;
  std::filesystem::path dir_;
  std::vector<std::string> environment_;  // for every process started here
  std::vector<pid_t> servers_;            // killed by kill(), in this order
  std::vector<pid_t> helpers_;            // monitor readers
  pid_t dbusDaemon_ = 0;
};

// A fixture whose suite shares one private PulseAudio server, started before its first test and
// stopped after its last.
class SharedPulseServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new PulseServer(SoundServerKind::pulseAudio); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  static inline PulseServer* server = nullptr;
};

}  // namespace ondrel::testing
