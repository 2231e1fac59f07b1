#pragma once
// The user-activity log: one line per login, logout, file update and file
// deletion, written directly by the connection thread that serves the user
// into "logs\Server UserLog <year>_<month>.log".
#include <string_view>

#include "platform/Clock.h"

namespace kestrel {

// Any thread. Appends "<time>: <text>" + CR LF to the month's user log.
// Writers wait for each other, so no line is lost to a concurrent writer and
// lines never interleave. False when the file cannot be opened or written
// (the line is lost; nothing is reported). The caller checks LogUserActivity.
bool WriteUserActivity(const platform::Clock& clock, std::string_view text);

}  // namespace kestrel
