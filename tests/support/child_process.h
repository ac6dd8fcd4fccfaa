// A program (found on PATH) run as a host runs ondrel: pipes on its standard input, output and
// error, lines read one at a time with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ondrel::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void writeStdin(const std::string& text);
  void closeStdin();
  void closeStdout();
  // The next line of standard output without its line feed, or nothing at the end of output or
  // when the deadline passes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for the exit (killing the process after the timeout) and returns its status, or -1.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Everything left on standard output and standard error, after wait().
  std::string remainingStdout();
  std::string stderrText();
  void kill(int signal);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string pending_;
  std::string stderrText_;
  bool exited_ = false;
  int status_ = -1;
};

// Runs the command to completion and returns (exit status, stdout, stderr).
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult runToEnd(const std::vector<std::string>& argv, const std::string& input = "");

// The host's side of ondrel's events. The next event, which must be one JSON object with a type
// (a test failure otherwise); nothing at the end of output or after the timeout.
std::optional<nlohmann::json> nextEvent(
    ChildProcess& child, std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Everything up to and including `done` or `error`, or to the end of output.
std::vector<nlohmann::json> readToEnd(ChildProcess& child);
// Every line of a finished run's output.
std::vector<nlohmann::json> parseEvents(const std::string& out);
bool isLevel(const nlohmann::json& event);

}  // namespace ondrel::testing
