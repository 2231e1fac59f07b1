#include "shell/ConnectionsLog.h"

#include "logging/LogChannel.h"
#include "logging/LogFiles.h"
#include "support/ServerFiles.h"

namespace kestrel {

void AppendConnectionsLog(const platform::LocalTime& now, int connections_today,
                          int parallel_today) {
  std::string line =
      StringPrintf("%s - %d - %d", platform::FormatLocalTime(now, "%d.%m.%y").c_str(),
                   connections_today, parallel_today);
  AppendLogLine(ConnectionsLogPath(now.year, now.month), line);
}

}  // namespace kestrel
