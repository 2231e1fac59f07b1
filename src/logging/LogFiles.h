#pragma once
// The monthly log files in .\logs: their names, their line formats and the
// one-line append (open, seek to end, write line + CR LF, close) that keeps a
// file complete after a crash.
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace kestrel {

// "%d.%m.%y %H:%M:%S", e.g. "08.12.26 03:18:03".
std::string FormatLogTime(const platform::LocalTime& t);

// ".\logs\Server Logbook 2026_12.log" for the year and month of t.
std::string LogbookFileName(const platform::LocalTime& t);
// "logs\Server UserLog 2026_12.log" for the year and month of t.
std::string UserLogFileName(const platform::LocalTime& t);

// "<time> - <level name>: <text>" (the level name is empty for unknown levels).
std::string FormatLogbookLine(const platform::LocalTime& t, int level, std::string_view text);
// "<time>: <text>".
std::string FormatUserLogLine(const platform::LocalTime& t, std::string_view text);

// Appends line + CR LF to the file at system path, creating it when absent and
// keeping its contents. One byte per character. False (and nothing written)
// when the file cannot be opened; no message box either way.
bool AppendLogLine(std::string_view path, std::string_view line);

}  // namespace kestrel
