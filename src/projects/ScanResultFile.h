#pragma once
// Putting a user's new scan result in place. The new document is written under
// a temporary name first and renamed over the current file while the user's
// guard is held exclusively, so a session packing the file (shared side of the
// guard) always sees a complete document. The current file before the scan is
// kept as ".old". Handler thread only.
#include <string>
#include <string_view>

#include "config/ConfigModel.h"

namespace kestrel::projects {

// ".\Config\Scanresult_%s_%s.xml" (project name, user name).
std::string ScanResultPath(std::string_view project_name, std::string_view user_name);

// Makes content the file at current_path and returns whether the result
// changed: whether the text digests of the file before and after differ (a
// missing or unreadable file has the empty digest). When the new document
// cannot be written, the previous file still becomes ".old" and no current
// file is left, as when its creation fails.
bool ReplaceScanResult(UserRecord& user, const std::string& current_path, std::string_view content);

}  // namespace kestrel::projects
