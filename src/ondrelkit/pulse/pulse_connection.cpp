#include "ondrelkit/pulse/pulse_connection.h"

namespace ondrel::pulse {
namespace {

// Long enough for a busy server, short enough that a hung one does not look like a hung tool.
constexpr pa_usec_t kTimeoutUsec = 5 * PA_USEC_PER_SEC;

bool alive(pa_context_state_t state) {
  return state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED;
}

}  // namespace

PulseConnection::PulseConnection() {
  mainloop_ = pa_threaded_mainloop_new();
  if (mainloop_ && pa_threaded_mainloop_start(mainloop_) < 0) {
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
  }
}

PulseConnection::~PulseConnection() {
  if (!mainloop_) return;
  // Destroyed on its own thread (the last owner let go inside a callback): the loop cannot stop
  // itself, so it is left running rather than deadlocking.
  if (inMainloopThread()) return;
  {
    Lock lock(*this);
    drop();
  }
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

PulseConnection::Lock::Lock(PulseConnection& connection)
    : calls_(connection.calls_), mainloop_(connection.mainloop_) {
  calls_.lock();
  if (mainloop_) pa_threaded_mainloop_lock(mainloop_);
}

PulseConnection::Lock::~Lock() {
  if (mainloop_) pa_threaded_mainloop_unlock(mainloop_);
  calls_.unlock();
}

void PulseConnection::drop() {
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

bool PulseConnection::ensureConnected() {
  if (!mainloop_) return false;
  if (!context_ || !contextAlive()) {
    // Right after a timeout the server is most likely still hung: fail at once rather than make
    // every caller wait out another timeout.
    if (timedOutAt_ != 0 && pa_rtclock_now() < timedOutAt_ + kTimeoutUsec) return false;
    drop();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "ondrel");
    if (!context_) return false;
    ++generation_;
    pa_context_set_state_callback(context_, &onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
  }
  return waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; });
}

bool PulseConnection::waitUntil(const std::function<bool()>& done) {
  if (done() || !context_ || inMainloopThread()) return done();
  const pa_usec_t deadline = pa_rtclock_now() + kTimeoutUsec;
  const std::uint64_t generation = generation_;
  // The timer only wakes us, so that the deadline is noticed even when nothing else happens.
  pa_time_event* timer = pa_context_rttime_new(context_, deadline, &onTimer, this);
  while (!done() && contextAlive() && pa_rtclock_now() < deadline) {
    pa_threaded_mainloop_wait(mainloop_);
  }
  if (timer) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  if (!done() && contextAlive() && generation_ == generation) {
    // The server stopped answering: treat it as gone, so that whatever waits on this context
    // fails at once and the next call reconnects (see ensureConnected). Not a context another
    // thread made meanwhile.
    timedOutAt_ = pa_rtclock_now();
    pa_context_disconnect(context_);
  }
  return done();
}

bool PulseConnection::await(pa_operation* op) {
  if (!op) return false;
  waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
  if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return done;
}

void PulseConnection::signal() {
  pa_threaded_mainloop_signal(mainloop_, 0);
}

bool PulseConnection::inMainloopThread() const {
  return mainloop_ && pa_threaded_mainloop_in_thread(mainloop_);
}

bool PulseConnection::contextAlive() const {
  return context_ && alive(pa_context_get_state(context_));
}

void PulseConnection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  (void)context;
  connection->signal();
}

void PulseConnection::onTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
  static_cast<PulseConnection*>(self)->signal();
}

}  // namespace ondrel::pulse
