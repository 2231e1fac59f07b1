#include "logging/UserActivityLog.h"

#include <mutex>

#include "logging/LogFiles.h"

namespace kestrel {
namespace {

// Held for one open-append-close of the user log by any connection thread.
std::mutex& UserLogMutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

bool WriteUserActivity(const platform::Clock& clock, std::string_view text) {
  std::lock_guard<std::mutex> lock(UserLogMutex());
  // Read the time inside the lock so the file's lines stay in time order.
  const platform::LocalTime now = clock.Local();
  return AppendLogLine(UserLogFileName(now), FormatUserLogLine(now, text));
}

}  // namespace kestrel
