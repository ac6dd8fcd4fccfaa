// The events the tool reports to its host: one compact JSON object per line on standard output.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace ondrel {

class HelperEvent {
 public:
  struct Level {
    float mic;
    float system;
    double seconds;
  };
  struct Done {
    std::string path;
    double seconds;
  };
  struct Error {
    std::string message;
  };
  struct Started {};
  // One line of --list-devices.
  struct Device {
    bool input;
    std::string id;
    std::string name;
    bool builtIn;
    bool isDefault;
    std::uint32_t rate;
    std::uint32_t channels;
  };
  // How far a recovery has come, in seconds of audio.
  struct Progress {
    double done;
    double total;
  };

  static HelperEvent level(float mic, float system, double seconds) {
    return HelperEvent(Level{mic, system, seconds});
  }
  static HelperEvent done(std::string path, double seconds) {
    return HelperEvent(Done{std::move(path), seconds});
  }
  static HelperEvent error(std::string message) { return HelperEvent(Error{std::move(message)}); }
  static HelperEvent started() { return HelperEvent(Started{}); }
  static HelperEvent device(Device device) { return HelperEvent(std::move(device)); }
  static HelperEvent progress(double done, double total) {
    return HelperEvent(Progress{done, total});
  }

  // The line as emit() writes it, line feed included; the fallback line when the event cannot be
  // serialised (a non-finite number).
  std::string line() const;

  // Writes the line to file descriptor 1 in one write. Failures (the host closed its end) are
  // dropped; the caller must ignore SIGPIPE.
  void emit() const;

  static constexpr const char* kFallbackLine =
      "{\"type\":\"error\",\"message\":\"event serialization failed\"}\n";

 private:
  using Value = std::variant<Level, Done, Error, Started, Progress, Device>;
  explicit HelperEvent(Value value) : value_(std::move(value)) {}
  Value value_;
};

// Writes all of text to fd in as few writes as it takes, retrying interruptions. Returns false on a
// failed write.
bool writeAll(int fd, const std::string& text);

}  // namespace ondrel
