#pragma once
// One message for the logbook: allocated by the sender, posted with
// WM_LOG_RECORD, owned and freed by the logging window.
#include <string>

#include "platform/MessageLoop.h"

namespace kestrel {

enum LogLevel : int { kLogError = 0, kLogWarning = 1, kLogInfo = 2 };

struct LogRecord final : platform::MessageRecord {
  LogRecord(std::string t, int l) : text(std::move(t)), level(l) {}
  std::string text;  // 8-bit system text, already formatted
  int level;         // LogLevel; other values are shown with an empty name
};

// "Error", "Warning", "Info"; "" for any other level.
const char* LogLevelName(int level);

}  // namespace kestrel
