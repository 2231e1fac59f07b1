#pragma once
// The daily connections log: one line per day change, dated with the new day
// and holding the finished day's totals.
#include "platform/Clock.h"

namespace kestrel {

// Appends "%s - %d - %d" (date "%d.%m.%y", connections today, parallel
// connections today) to "logs\Connections %d_%02d.log" of the given local
// time. A file that cannot be opened loses the line silently.
void AppendConnectionsLog(const platform::LocalTime& now, int connections_today,
                          int parallel_today);

}  // namespace kestrel
