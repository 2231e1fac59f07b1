#pragma once
// Putting a user's new scan result in place. The new document is written under
// a temporary name first and renamed over the current file while the user's
// guard is held exclusively, so a session packing the file (shared side of the
// guard) always sees a complete document, and the current result is replaced
// only by a complete new one. The current file before the scan is kept as
// ".old". Handler thread only.
//
// Results are never changed in place, only replaced by rename, so one file
// may be the current result of several users (users with the same rights get
// byte-identical documents): each user's names are its own.
#include <string>
#include <string_view>

#include "config/ConfigModel.h"
#include "support/ServerFiles.h"

namespace kestrel::projects {

using kestrel::ScanResultPath;

enum class ResultReplacement {
  kUnchanged,    // the text digests of the file before and after are equal (taken as
                 // a comparison of their line texts, without computing a digest)
  kChanged,      // they differ (a missing or unreadable file has the empty digest)
  kWriteFailed,  // the new document could not be written: the current file and
                 // its ".old" are as they were
};

// Makes content the file at current_path. previous: a buffer the caller
// reuses from user to user; it receives the current file's bytes. same_file:
// empty, or a file that holds exactly content and is replaced only by rename
// (another user's result put in place in this cycle); the new file is then a
// second name of it instead of a new copy of the bytes.
[[nodiscard]] ResultReplacement ReplaceScanResult(UserRecord& user, const std::string& current_path,
                                                  std::string_view content, std::string& previous,
                                                  const std::string& same_file);

}  // namespace kestrel::projects
