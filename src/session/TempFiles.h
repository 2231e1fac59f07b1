#pragma once
// Fixed names of the session's files in the server's temporary folder, and
// the check of the file names the remote tool announces for its uploads.
#include <string_view>

namespace kestrel {

// The server-logs archive of the remote tool; one per server.
inline constexpr const char* kServerLogsArchive = ".\\Temp\\serverlogs.zip";
// Where a server-logs archive is built before it is renamed into place.
inline constexpr const char* kServerLogsBuildPath = ".\\Temp\\serverlogs_build.zip";
// The one entry of a download archive.
inline constexpr const char* kTransferEntryName = "transfer.dat";
// A client's transfer archive: project name, user name, connection number.
inline constexpr const char* kClientArchiveFormat = ".\\Temp\\%s_%s_%d.zip";
// A user's scan-result file: project name, user name.
inline constexpr const char* kScanResultFormat = ".\\Config\\Scanresult_%s_%s.xml";
// The remote tool's upload archive: connection number.
inline constexpr const char* kRemoteArchiveFormat = ".\\Temp\\XMLConfig_%d.zip";
// A document received from the remote tool: the announced name.
inline constexpr const char* kRemoteDocumentFormat = ".\\Temp\\%s";

// True for a name the remote tool may give its upload: a bare file name (not
// empty, not "." or "..", without "\", "/", ":" or control characters), so
// the document can only land in ".\Temp", and none of the server's own
// working files there (the staging file, the transfer archives ending in
// ".zip" and extraction side files ending in ".part", in any letter case).
bool IsRemoteUploadName(std::string_view name);

}  // namespace kestrel
