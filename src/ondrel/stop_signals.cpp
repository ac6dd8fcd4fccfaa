#include "ondrel/stop_signals.h"

#include <pthread.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "ondrelkit/wav_writer.h"

namespace ondrel {
namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

int nextSignal(const sigset_t& set) {
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

// Dies of the signal with its default action, so the host sees what ended the process.
[[noreturn]] void endBy(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  std::raise(signal);
  std::_Exit(128 + signal);
}

// Whether the session has begun to report its outcome. Held while a second signal ends the
// process, so that the two never interleave.
std::mutex outcomeLock;
bool outcomeSettled = false;

}  // namespace

void settleOutcome() {
  std::lock_guard lock(outcomeLock);
  outcomeSettled = true;
}

void blockStopSignals() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void watchStopSignals(std::shared_ptr<StopFlag> flag, std::filesystem::path wavURL) {
  std::thread([flag = std::move(flag), wavURL = std::move(wavURL)] {
    const sigset_t set = stopSignals();
    nextSignal(set);
    flag->set();
    for (;;) {
      const int second = nextSignal(set);
      std::lock_guard lock(outcomeLock);
      // Once done or the error is being written, the process ends with it: a signal then would
      // only turn a finished recording into a death by signal.
      if (outcomeSettled) continue;
      // The finish may not have reached the WAV file's finalize(); a file whose sizes say 0
      // would look empty to most players.
      (void)WavWriter::writeSizesFromFileLength(wavURL);
      endBy(second);
    }
  }).detach();
}

void endOnStopSignals() {
  std::thread([] {
    const sigset_t set = stopSignals();
    for (;;) {
      const int signal = nextSignal(set);
      std::lock_guard lock(outcomeLock);
      if (!outcomeSettled) endBy(signal);
    }
  }).detach();
}

}  // namespace ondrel
