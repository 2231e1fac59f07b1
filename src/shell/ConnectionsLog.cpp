#include "shell/ConnectionsLog.h"

#include "logging/LogChannel.h"
#include "logging/LogFiles.h"

namespace kestrel {

void AppendConnectionsLog(const platform::LocalTime& now, int connections_today,
                          int parallel_today) {
  std::string path = StringPrintf("logs\\Connections %d_%02d.log", now.year, now.month);
  std::string line =
      StringPrintf("%s - %d - %d", platform::FormatLocalTime(now, "%d.%m.%y").c_str(),
                   connections_today, parallel_today);
  AppendLogLine(path, line);
}

}  // namespace kestrel
