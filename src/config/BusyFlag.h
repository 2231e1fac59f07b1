#pragma once
// A flag that one thread holds while it works and others may wait on without
// spinning (the rights pass of a project, for example).
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrel {

class BusyFlag {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    busy_ = true;
  }
  void Clear() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy_ = false;
    }
    cv_.notify_all();
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> lock(mu_);
    return busy_;
  }
  // Blocks (no polling) until the flag is clear or the deadline has passed.
  // True when the flag is clear.
  [[nodiscard]] bool WaitClearUntil(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_until(lock, deadline, [this] { return !busy_; });
  }

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool busy_ = false;  // guarded by mu_
};

}  // namespace kestrel
