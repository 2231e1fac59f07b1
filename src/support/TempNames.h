#pragma once
// The server's own files in its temporary folder ".\Temp", named in this one
// place, and the test that tells them from files the server did not make:
//   transfer_<slot>.dat           a connection's staging file: what it extracts
//   transfer.dat                  the one staging file of earlier versions
//   <target>.~<pid>_<n>.part      a side file beside its target (platform/SideFile.h)
//   <project>_<user>_<slot>.zip   a client's transfer archive
//   XMLConfig_<slot>.zip          the remote tool's upload archive
//   serverlogs.zip                the server-logs archive, and
//   serverlogs_build.zip          the side name it is built under
// <slot> is a connection number 0 to 249 written in decimal.
//
// Documents the remote tool uploads (any other bare name) are not the
// server's own files: they stay until the main window has handled them.
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr const char* kTempFolder = ".\\Temp";
// The staging file's name, also the one entry of every download archive.
inline constexpr const char* kTransferEntryName = "transfer.dat";
inline constexpr const char* kServerLogsArchive = ".\\Temp\\serverlogs.zip";
inline constexpr const char* kServerLogsBuildPath = ".\\Temp\\serverlogs_build.zip";
// The remote tool's upload archive: connection number.
inline constexpr const char* kRemoteArchiveFormat = ".\\Temp\\XMLConfig_%d.zip";
// A document received from the remote tool: the name it announced.
inline constexpr const char* kRemoteDocumentFormat = ".\\Temp\\%s";
// The number of connection slots (net/ConnectionSlots.h): connection numbers
// 0 to 249 name transfer archives.
inline constexpr int kTransferSlotCount = 250;

// A connection's staging file ".\Temp\transfer_%d.dat": connection number.
std::string StagingFilePath(int slot);

// A client's transfer archive ".\Temp\%s_%s_%d.zip": project name, user
// name, connection number.
std::string ClientArchivePath(std::string_view project_name, std::string_view user_name, int slot);

// True for a bare file name of ".\Temp" that has one of the forms above.
bool IsServerTempFile(std::string_view name);
// Start of the server: deletes every such file of ".\Temp" (leftovers of a
// crash or an earlier run); other files stay. Returns how many went.
std::size_t RemoveServerTempFiles();

}  // namespace kestrel
