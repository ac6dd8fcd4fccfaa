// The one piece of state the stdin reader shares with the session driver.
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
