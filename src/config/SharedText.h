#pragma once
// A text that one thread replaces while others read it: readers always see a
// whole value, the old or the new one (a SharedSnapshot of the string).
#include <memory>
#include <string>

#include "config/SharedSnapshot.h"

namespace kestrel {

class SharedText {
 public:
  SharedText() : SharedText(std::string()) {}
  explicit SharedText(std::string text) { Set(std::move(text)); }
  SharedText(const SharedText& other) { value_.Store(other.value_.Load()); }
  SharedText& operator=(const SharedText& other) {
    if (this != &other) value_.Store(other.value_.Load());
    return *this;
  }

  std::string Get() const { return *value_.Load(); }
  void Set(std::string text) { value_.Store(std::make_shared<const std::string>(std::move(text))); }

 private:
  SharedSnapshot<std::string> value_;
};

}  // namespace kestrel
