#include "logging/LogBurstLimit.h"

namespace kestrel {

bool LogBurstLimit::Admit(Time now) {
  if (!started_ || now - window_start_ >= kWindow) {
    started_ = true;
    window_start_ = now;
    lines_ = 0;
  }
  if (lines_ < kLinesPerSecond) {
    ++lines_;
    return true;
  }
  ++suppressed_;
  return false;
}

std::uint64_t LogBurstLimit::TakeEnded(Time now) {
  if (suppressed_ == 0 || now - window_start_ < kWindow) return 0;
  return TakeAll();
}

std::uint64_t LogBurstLimit::TakeAll() {
  const std::uint64_t count = suppressed_;
  suppressed_ = 0;
  return count;
}

}  // namespace kestrel
