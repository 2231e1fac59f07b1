#include "logging/JournalStream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

#include "logging/LogRecord.h"

namespace kestrel {

bool IsJournalStream(int fd, const char* journal_stream) {
  if (journal_stream == nullptr) return false;
  std::uintmax_t device = 0, inode = 0;
  char rest = 0;
  if (std::sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2) {
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<std::uintmax_t>(st.st_dev) == device &&
         static_cast<std::uintmax_t>(st.st_ino) == inode;
}

std::string_view JournalPrefix(int level) {
  switch (level) {
    case kLogError:
      return "<3>";
    case kLogWarning:
      return "<4>";
    case kLogInfo:
      return "<6>";
    default:
      return "";
  }
}

}  // namespace kestrel
