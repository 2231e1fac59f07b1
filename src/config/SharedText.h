#pragma once
// A text that one thread replaces while others read it: readers always see a
// whole value, the old or the new one (an atomic exchange of an immutable text).
#include <atomic>
#include <memory>
#include <string>

namespace kestrel {

class SharedText {
 public:
  SharedText() : value_(std::make_shared<const std::string>()) {}
  explicit SharedText(std::string text)
      : value_(std::make_shared<const std::string>(std::move(text))) {}
  SharedText(const SharedText& other) : value_(other.value_.load()) {}
  SharedText& operator=(const SharedText& other) {
    value_.store(other.value_.load());
    return *this;
  }

  std::string Get() const { return *value_.load(); }
  void Set(std::string text) { value_.store(std::make_shared<const std::string>(std::move(text))); }

 private:
  std::atomic<std::shared_ptr<const std::string>> value_;
};

}  // namespace kestrel
