#include "shell/TickCounters.h"

namespace kestrel {

TickCounters::Due TickCounters::Tick(std::int32_t rights_interval_minutes,
                                     std::int32_t scan_interval_minutes) {
  Due due;
  ++rights_ticks_;
  if (rights_ticks_ >= static_cast<std::int64_t>(rights_interval_minutes) * 60) {
    due.rights = true;
    rights_ticks_ = 0;
  }
  ++scan_ticks_;
  if (scan_ticks_ >= static_cast<std::int64_t>(scan_interval_minutes) * 60) {
    due.scan = true;
    scan_ticks_ = 0;
  }
  return due;
}

bool DayWatch::Changed(int day_of_month) {
  if (day_of_month == day_) return false;
  day_ = day_of_month;
  return true;
}

}  // namespace kestrel
