#pragma once
// The tick counters of the one-second timer: how many seconds since the
// user-rights passes and the scans of all projects were last woken. Main
// thread only.
#include <cstdint>

namespace kestrel {

class TickCounters {
 public:
  struct Due {
    bool rights = false;
    bool scan = false;
  };
  void Reset() { rights_ticks_ = scan_ticks_ = 0; }
  // One tick; intervals in minutes. An interval of 0 or less fires every tick.
  Due Tick(std::int32_t rights_interval_minutes, std::int32_t scan_interval_minutes);

 private:
  std::int64_t rights_ticks_ = 0;
  std::int64_t scan_ticks_ = 0;
};

// Remembers the day of the month and reports when it changes.
class DayWatch {
 public:
  void Remember(int day_of_month) { day_ = day_of_month; }
  // True (and remembers the new day) when the day differs from the remembered one.
  bool Changed(int day_of_month);
  int day() const { return day_; }

 private:
  int day_ = 0;
};

}  // namespace kestrel
