#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ondrel::testing {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string drain(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  return text;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
  if (rc != 0) throw std::runtime_error("could not start " + argv[0]);
}

ChildProcess::~ChildProcess() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(stdin_);
  closeFd(stdout_);
  closeFd(stderr_);
}

void ChildProcess::writeStdin(const std::string& text) {
  if (::write(stdin_, text.data(), text.size()) != ssize_t(text.size())) {
    throw std::runtime_error("write to the child's standard input failed");
  }
}

void ChildProcess::closeStdin() {
  closeFd(stdin_);
}
void ChildProcess::closeStdout() {
  closeFd(stdout_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto at = pending_.find('\n'); at != std::string::npos) {
      std::string line = pending_.substr(0, at);
      pending_.erase(0, at + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || stdout_ < 0) return std::nullopt;
    pollfd p{stdout_, POLLIN, 0};
    if (::poll(&p, 1, int(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, std::size_t(n));
  }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (exited_) return status_;
  // Keep the child's standard error drained so it can never block on it.
  std::thread errReader([this] { stderrText_ = drain(stderr_); });
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  errReader.join();
  exited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_;
}

std::string ChildProcess::remainingStdout() {
  std::string rest = pending_;
  pending_.clear();
  if (stdout_ >= 0) rest += drain(stdout_);
  return rest;
}

std::string ChildProcess::stderrText() {
  return stderrText_;
}

void ChildProcess::kill(int signal) {
  ::kill(pid_, signal);
}

RunResult runToEnd(const std::vector<std::string>& argv, const std::string& input) {
  ChildProcess child(argv);
  if (!input.empty()) child.writeStdin(input);
  child.closeStdin();
  std::string out;
  while (auto line = child.readLine()) out += *line + "\n";
  const int status = child.wait();
  out += child.remainingStdout();
  return {status, out, child.stderrText()};
}

std::optional<nlohmann::json> nextEvent(ChildProcess& child, std::chrono::milliseconds timeout) {
  const auto line = child.readLine(timeout);
  if (!line) return std::nullopt;
  nlohmann::json event = nlohmann::json::parse(*line, nullptr, false);
  if (event.is_discarded() || !event.is_object() || !event.contains("type")) {
    ADD_FAILURE() << "not one JSON event: " << ::testing::PrintToString(*line);
    return nlohmann::json{{"type", "<invalid>"}};
  }
  return event;
}

std::vector<nlohmann::json> readToEnd(ChildProcess& child) {
  std::vector<nlohmann::json> events;
  while (auto event = nextEvent(child, std::chrono::seconds(30))) {
    events.push_back(std::move(*event));
    if (events.back()["type"] == "done" || events.back()["type"] == "error") break;
  }
  return events;
}

std::vector<nlohmann::json> parseEvents(const std::string& out) {
  std::vector<nlohmann::json> events;
  for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    events.push_back(nlohmann::json::parse(out.substr(at, end - at), nullptr, false));
    EXPECT_FALSE(events.back().is_discarded())
        << ::testing::PrintToString(out.substr(at, end - at));
  }
  return events;
}

bool isLevel(const nlohmann::json& event) {
  return event["type"] == "level" && event.size() == 4 && event["mic"].is_number() &&
         event["system"].is_number() && event["t"].is_number();
}

}  // namespace ondrel::testing
