// One connection to the sound server: a pa_threaded_mainloop and its context, connected on first
// use and again after the server went away. Every wait here is bounded and gives up when the
// context fails, so a missing, dying or hung server never hangs the caller.
//
// Threads: the mainloop runs libpulse's callbacks on a thread of its own, with the mainloop lock
// held. Any other thread takes the lock (Lock) around every pa_* call. Callbacks only record
// results and signal(); they never wait.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>

namespace ondrel::pulse {

class PulseConnection {
 public:
  // Starts the mainloop thread; on failure the connection stays unusable (usable() is false).
  PulseConnection();
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  bool usable() const { return mainloop_ != nullptr; }

  // Holds the mainloop lock for its scope (nothing on an unusable connection), and keeps other
  // callers out while it waits for the server. Never on the mainloop thread.
  class Lock {
   public:
    explicit Lock(PulseConnection& connection);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    std::recursive_mutex& calls_;
    pa_threaded_mainloop* mainloop_;
  };

  // The rest: with the lock held.

  // Connects unless a context is already up. False when no server can be reached in time.
  bool ensureConnected();
  // The current context, or nullptr; check ensureConnected() first.
  pa_context* context() const { return context_; }
  // For a further context on the same mainloop.
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(mainloop_); }
  // Counts the contexts made so far, so that callers can tell a reconnection.
  std::uint64_t generation() const { return generation_; }

  // Waits until done() holds, the context fails or a few seconds pass; returns done(). Must not
  // be called on the mainloop thread.
  bool waitUntil(const std::function<bool()>& done);
  // Waits for op to complete and releases it; false if it did not (it is then cancelled, so its
  // callback can no longer run). op may be null (the request could not be made).
  bool await(pa_operation* op);

  // Wakes every waiter; for callbacks.
  void signal();
  bool inMainloopThread() const;

 private:
  bool contextAlive() const;
  void drop();
  static void onContextState(pa_context* context, void* self);
  static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                      void* self);

  // Taken before the mainloop lock and kept across its waits: one caller at a time, in a lock
  // that sanitizers see (the mainloop's own is taken inside libpulse).
  std::recursive_mutex calls_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  std::uint64_t generation_ = 0;
  // When a wait last timed out (0: never). A hung server is not asked again until a while after.
  pa_usec_t timedOutAt_ = 0;
};

}  // namespace ondrel::pulse
