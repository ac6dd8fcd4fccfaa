#include "ondrelkit/retry_loop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace ondrel {

struct RetryLoop::State {
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  bool retrying = false;
  std::uint64_t round = 0;  // counts begin()s that started retrying, so each one starts afresh
  std::function<void()> attempt;
  std::thread thread;  // started by the first begin()
};

RetryLoop::RetryLoop(RetryBackoff b) : backoff(b), state(std::make_shared<State>()) {}

RetryLoop::~RetryLoop() {
  stop();
}

void RetryLoop::begin(std::function<void()> attempt) {
  {
    std::lock_guard guard(state->lock);
    if (state->stopping) return;
    state->attempt = std::move(attempt);
    if (state->retrying) return;
    state->retrying = true;
    ++state->round;
    if (!state->thread.joinable()) state->thread = std::thread(run, state, backoff);
  }
  state->wake.notify_all();
}

void RetryLoop::cancel() {
  {
    std::lock_guard guard(state->lock);
    state->retrying = false;
  }
  state->wake.notify_all();
}

void RetryLoop::stop() {
  std::thread thread;
  {
    std::lock_guard guard(state->lock);
    state->stopping = true;
    thread = std::move(state->thread);
  }
  state->wake.notify_all();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void RetryLoop::run(std::shared_ptr<State> s, RetryBackoff backoff) {
  std::unique_lock lock(s->lock);
  while (!s->stopping) {
    s->wake.wait(lock, [&] { return s->stopping || s->retrying; });
    const std::uint64_t round = s->round;
    const auto over = [&] { return s->stopping || !s->retrying || s->round != round; };
    for (auto pause = backoff.first; !over(); pause = std::min(pause * 2, backoff.longest)) {
      if (s->wake.wait_for(lock, pause, over)) break;
      const auto attempt = s->attempt;
      lock.unlock();
      attempt();
      lock.lock();
    }
  }
}

}  // namespace ondrel
