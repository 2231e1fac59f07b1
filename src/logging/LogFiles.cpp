#include "logging/LogFiles.h"

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "support/FileNeu.h"
#include "support/ServerFiles.h"

namespace kestrel {

std::string FormatLogTime(const platform::LocalTime& t) {
  return platform::FormatLocalTime(t, "%d.%m.%y %H:%M:%S");
}

std::string LogbookFileName(const platform::LocalTime& t) {
  return LogbookPath(t.year, t.month);
}

std::string UserLogFileName(const platform::LocalTime& t) {
  return UserLogPath(t.year, t.month);
}

std::string FormatLogbookLine(const platform::LocalTime& t, int level, std::string_view text) {
  std::string line = FormatLogTime(t);
  line += " - ";
  line += LogLevelName(level);
  line += ": ";
  line += text;
  return line;
}

std::string FormatUserLogLine(const platform::LocalTime& t, std::string_view text) {
  std::string line = FormatLogTime(t);
  line += ": ";
  line += text;
  return line;
}

bool AppendLogLine(std::string_view path, std::string_view line) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate | CFileNeu::kNoTruncate)) {
    return false;
  }
  file.SeekToEnd();
  const bool ok = file.WriteLine(line);
  file.Close();
  return ok;
}

}  // namespace kestrel
