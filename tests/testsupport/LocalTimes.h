#pragma once
// A local date and time for test clocks, in one line.
#include "platform/Clock.h"

namespace kestrel::test {

inline platform::LocalTime At(int year, int month, int day, int hour = 0, int minute = 0,
                              int second = 0) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

}  // namespace kestrel::test
