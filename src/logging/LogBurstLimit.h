#pragma once
// Bounds the Warning and Error lines one source (a connection) may write: at
// most kLinesPerSecond lines in each one-second window; the rest are counted
// and reported as one line once their window has passed.
//
// Threads: one owner (not thread-safe).
#include <chrono>
#include <cstdint>

namespace kestrel {

class LogBurstLimit {
 public:
  using Time = std::chrono::steady_clock::time_point;
  static constexpr int kLinesPerSecond = 10;
  static constexpr std::chrono::seconds kWindow{1};

  // True when a line at `now` may be written; otherwise it is counted as suppressed.
  bool Admit(Time now);
  // The count of lines suppressed in a window that has passed by `now` (0
  // while the window runs or when none were); the count starts again.
  std::uint64_t TakeEnded(Time now);
  // Every suppressed line not yet reported (the source goes away).
  std::uint64_t TakeAll();

 private:
  Time window_start_{};
  bool started_ = false;
  int lines_ = 0;  // written in the current window
  std::uint64_t suppressed_ = 0;
};

// The report of suppressed lines: "%llu similar lines suppressed" and where from.
inline constexpr const char* kSuppressedLinesFormat =
    "%llu similar lines suppressed from IP %s at Port %d";

}  // namespace kestrel
