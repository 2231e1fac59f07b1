#pragma once
// The three connection counters of the main window and the texts of its three
// statistics lines. Main thread only.
#include <string>

namespace kestrel {

class Statistics {
 public:
  // StartServer: all zero; line 1010 reads "current connections: %d".
  void Reset();
  // A connection was handed to a slot.
  void OnHandOff();
  // A client closed or a busy slot was terminated.
  void OnConnectionGone();
  // The day changed: today's counters start again from the current count.
  void OnDayChange();

  int current() const { return current_; }
  int today() const { return today_; }
  int parallel_today() const { return parallel_today_; }

  // Texts of controls 1010, 1011 and 1012.
  const std::string& line_current() const { return line_current_; }
  std::string line_today() const;
  std::string line_parallel() const;

 private:
  int current_ = 0;
  int today_ = 0;
  int parallel_today_ = 0;
  std::string line_current_ = "number connections";
};

}  // namespace kestrel
