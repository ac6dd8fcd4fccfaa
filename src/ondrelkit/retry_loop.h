// Runs an attempt again and again on a thread of its own, with a pause before each try that starts
// short and doubles up to a ceiling, for as long as retrying is wanted. The pauses are waits on a
// condition variable, so cancel() and stop() end them at once: nobody ever waits out a pause.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace ondrel {

// The pause before the first try, and the longest pause.
struct RetryBackoff {
  std::chrono::milliseconds first{250};
  std::chrono::milliseconds longest{2000};
};

class RetryLoop {
 public:
  explicit RetryLoop(RetryBackoff backoff = {});
  ~RetryLoop();  // stop()
  RetryLoop(const RetryLoop&) = delete;
  RetryLoop& operator=(const RetryLoop&) = delete;

  // Runs attempt after a pause, and again after each longer pause, until cancel() or stop(). While
  // already retrying it only replaces the attempt, keeping the schedule. The attempt runs with no
  // lock of the loop held, so it may call begin() or cancel() itself.
  void begin(std::function<void()> attempt);
  // No further tries until the next begin(), whose first pause is the shortest again.
  void cancel();
  // Ends the loop for good. Returns once a running attempt has finished, unless called from the
  // attempt itself (then the thread ends right after it).
  void stop();

 private:
  struct State;
  static void run(std::shared_ptr<State> state, RetryBackoff backoff);

  const RetryBackoff backoff;
  // Shared with the thread, which may outlive this object when it is destroyed by the attempt.
  const std::shared_ptr<State> state;
};

}  // namespace ondrel
