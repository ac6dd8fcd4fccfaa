// The one piece of state the stdin reader and the signal watcher share with the session driver.
#pragma once

#include <mutex>

namespace ondrel {

class StopFlag {
 public:
  void set() {
    std::lock_guard guard(lock);
    value = true;
  }
  bool isSet() const {
    std::lock_guard guard(lock);
    return value;
  }

 private:
  mutable std::mutex lock;
  bool value = false;
};

}  // namespace ondrel
