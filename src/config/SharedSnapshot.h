#pragma once
// A value that one thread replaces while others read it: readers get the old
// or the new value whole, as a shared pointer to an immutable object. Only the
// pointer swap happens under the lock, so readers never wait for a copy, and
// a reader keeps its snapshot alive for as long as it holds the pointer.
#include <memory>
#include <mutex>

namespace kestrel {

template <class T>
class SharedSnapshot {
 public:
  SharedSnapshot() = default;
  SharedSnapshot(const SharedSnapshot&) = delete;
  SharedSnapshot& operator=(const SharedSnapshot&) = delete;

  // Null until the first Store.
  std::shared_ptr<const T> Load() const {
    std::lock_guard<std::mutex> lock(mu_);
    return value_;
  }
  void Store(std::shared_ptr<const T> value) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      value_.swap(value);
    }
    // The old value is released here, outside the lock.
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const T> value_;  // guarded by mu_
};

}  // namespace kestrel
