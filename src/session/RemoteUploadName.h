#pragma once
// The check of the file names the remote tool announces for its uploads.
#include <string_view>

namespace kestrel {

// True for a name the remote tool may give its upload: a bare file name (not
// empty, not "." or "..", without "\", "/", ":" or control characters), so
// the document can only land in ".\Temp", and none of the server's own
// working files there (the staging files, the transfer archives ending in
// ".zip" and extraction side files ending in ".part", in any letter case).
bool IsRemoteUploadName(std::string_view name);

}  // namespace kestrel
