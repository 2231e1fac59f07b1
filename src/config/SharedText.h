#pragma once
// A text that one thread replaces while others read it: readers always see a
// whole value, the old or the new one. The value is an immutable string
// behind a shared pointer; only the pointer swap happens under the lock, so
// readers never wait for a copy of the text.
#include <memory>
#include <mutex>
#include <string>

namespace kestrel {

class SharedText {
 public:
  SharedText() : value_(std::make_shared<const std::string>()) {}
  explicit SharedText(std::string text)
      : value_(std::make_shared<const std::string>(std::move(text))) {}
  SharedText(const SharedText& other) : value_(other.Load()) {}
  SharedText& operator=(const SharedText& other) {
    if (this != &other) Store(other.Load());
    return *this;
  }

  std::string Get() const { return *Load(); }
  void Set(std::string text) { Store(std::make_shared<const std::string>(std::move(text))); }

 private:
  std::shared_ptr<const std::string> Load() const {
    std::lock_guard<std::mutex> lock(mu_);
    return value_;
  }
  void Store(std::shared_ptr<const std::string> value) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      value_.swap(value);
    }
    // The old text is released here, outside the lock.
  }

  mutable std::mutex mu_;
  std::shared_ptr<const std::string> value_;  // guarded by mu_
};

}  // namespace kestrel
