// Calls the property listeners on a thread of their own, so that a listener may call back into
// the backend and wait (a rebuild does both) without ever blocking the mainloop thread.
// A burst of notifications (none more than 100 ms after the last) is one round of calls;
// notifications that arrive while the listeners run make one more round.
#pragma once

#include <memory>
#include <thread>

#include "ondrelkit/audio_hardware.h"

namespace ondrel::pulse {

class ListenerThread {
 public:
  ListenerThread();
  // Joins the thread; from inside a listener (the last owner let go there) it is detached
  // instead, and ends after that call returns.
  ~ListenerThread();
  ListenerThread(const ListenerThread&) = delete;
  ListenerThread& operator=(const ListenerThread&) = delete;

  void add(const AudioObjectPropertyAddress& address, AudioObjectPropertyListenerBlock block);
  bool empty() const;
  // The listeners of this selector are called. Never blocks beyond a brief lock; safe on the
  // mainloop thread.
  void notify(std::uint32_t selector);

 private:
  struct State;
  static void run(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace ondrel::pulse
