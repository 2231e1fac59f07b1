#pragma once
// Fixed names of the session's files in the server's temporary folder, and
// the check of the file names the remote tool announces for its uploads.
#include <string_view>

#include "support/TempNames.h"  // the names of the server's own files there

namespace kestrel {

// The one entry of a download archive.
inline constexpr const char* kTransferEntryName = "transfer.dat";
// A user's scan-result file: project name, user name.
inline constexpr const char* kScanResultFormat = ".\\Config\\Scanresult_%s_%s.xml";
// A document received from the remote tool: the announced name.
inline constexpr const char* kRemoteDocumentFormat = ".\\Temp\\%s";

// True for a name the remote tool may give its upload: a bare file name (not
// empty, not "." or "..", without "\", "/", ":" or control characters), so
// the document can only land in ".\Temp", and none of the server's own
// working files there (the staging files, the transfer archives ending in
// ".zip" and extraction side files ending in ".part", in any letter case).
bool IsRemoteUploadName(std::string_view name);

}  // namespace kestrel
