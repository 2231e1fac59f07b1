#pragma once
// Fixed names of the session's files in the server's temporary folder.

namespace kestrel {

// The server-logs archive of the remote tool; one per server.
inline constexpr const char* kServerLogsArchive = ".\\Temp\\serverlogs.zip";
// The one entry of a download archive.
inline constexpr const char* kTransferEntryName = "transfer.dat";
// A client's transfer archive: project name, user name, connection number.
inline constexpr const char* kClientArchiveFormat = ".\\Temp\\%s_%s_%d.zip";
// A user's scan-result file: project name, user name.
inline constexpr const char* kScanResultFormat = ".\\Config\\Scanresult_%s_%s.xml";

}  // namespace kestrel
