#include "ondrelkit/pulse/listener_thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace ondrel::pulse {
namespace {

constexpr auto kSettle = std::chrono::milliseconds(100);

}  // namespace

struct ListenerThread::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<std::uint32_t> pending;  // the selectors changed
  std::uint64_t notifications = 0;
  bool quit = false;
  std::vector<std::pair<AudioObjectPropertyAddress, AudioObjectPropertyListenerBlock>> listeners;
};

ListenerThread::ListenerThread() : state_(std::make_shared<State>()), thread_(run, state_) {}

ListenerThread::~ListenerThread() {
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->wake.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void ListenerThread::add(const AudioObjectPropertyAddress& address,
                         AudioObjectPropertyListenerBlock block) {
  std::lock_guard lock(state_->mutex);
  state_->listeners.emplace_back(address, std::move(block));
}

bool ListenerThread::empty() const {
  std::lock_guard lock(state_->mutex);
  return state_->listeners.empty();
}

void ListenerThread::notify(std::uint32_t selector) {
  {
    std::lock_guard lock(state_->mutex);
    if (std::find(state_->pending.begin(), state_->pending.end(), selector) ==
        state_->pending.end()) {
      state_->pending.push_back(selector);
    }
    ++state_->notifications;
  }
  state_->wake.notify_all();
}

// The state is shared with the thread, so a detached thread never outlives what it uses.
void ListenerThread::run(std::shared_ptr<State> state) {
  std::unique_lock lock(state->mutex);
  while (true) {
    state->wake.wait(lock, [&] { return !state->pending.empty() || state->quit; });
    // A burst (a device unplugged changes the default and removes streams) settles first, and
    // then counts as one change.
    for (std::uint64_t seen = 0; seen != state->notifications && !state->quit;) {
      seen = state->notifications;
      state->wake.wait_for(lock, kSettle,
                           [&] { return state->notifications != seen || state->quit; });
    }
    if (state->quit) return;
    const auto changed = std::exchange(state->pending, {});
    const auto listeners = state->listeners;
    lock.unlock();
    for (const auto& [address, block] : listeners) {
      if (std::find(changed.begin(), changed.end(), address.mSelector) != changed.end()) {
        block(1, &address);
      }
    }
    lock.lock();
  }
}

}  // namespace ondrel::pulse
