#pragma once
// Lines for the systemd journal. When standard output is the journal's
// stream (systemd names its device and inode in JOURNAL_STREAM as
// "DEVICE:INODE"), each line may carry a syslog priority prefix so the
// journal can filter by level; anywhere else lines stay as they are.
#include <string_view>

namespace kestrel {

// True when descriptor fd is the stream that journal_stream (the value of
// JOURNAL_STREAM, or null) names.
bool IsJournalStream(int fd, const char* journal_stream);

// "<3>" for Error, "<4>" for Warning, "<6>" for Info; "" for any other level.
std::string_view JournalPrefix(int level);

}  // namespace kestrel
