#pragma once
// The server-logs archive ".\Temp\serverlogs.zip" that the remote tool
// downloads: the configuration file, then every non-empty scan-result file,
// then every non-empty log file, each under its bare file name.
//
// The archive has one name for the whole server, so builds run one at a time
// under a process-wide lock: each build is written under a side name and
// renamed into place in one step, and the builder opens its own handle on the
// result before the lock is released. The name therefore always holds a
// complete archive, and a session sends exactly what it built even when
// another remote tool rebuilds the archive meanwhile (an open file keeps its
// contents when a later build is renamed over its name).
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/FileNeu.h"
#include "support/ServerFiles.h"

namespace kestrel {

inline constexpr std::string_view kServerConfigEntry = kConfigFileName;

struct ServerLogsSource {
  std::string entry;  // name in the archive
  std::string path;   // system path of the file
};

// The files of the archive in order: the configuration file (when present),
// the files of ".\Config" named "Scanresult*.xml", then the files of ".\logs",
// each folder in listing order, leaving out empty files, folders and links.
// A set shutdown flag (borrowed, may be null) ends each walk early.
std::vector<ServerLogsSource> ListServerLogsSources(const std::atomic<bool>* shutdown);

// Writes the archive of ListServerLogsSources at path. Files that cannot be
// read are left out. False when the archive cannot be made or the shutdown
// flag stopped the build (the file is then incomplete).
bool WriteServerLogsArchive(std::string_view path, const std::atomic<bool>* shutdown);

class ServerLogsArchive {
 public:
  // Builds the archive, renames it into place and opens reader on it (any
  // file open in reader is closed first). Returns the number of this build,
  // never 0, or 0 when no archive could be made (reader stays closed).
  static std::uint64_t Build(const std::atomic<bool>* shutdown, CFileNeu& reader);
  // Deletes the archive when the build numbered `build` is still the one in
  // place; a later build of another session is left alone.
  static void RemoveIfCurrent(std::uint64_t build);
};

}  // namespace kestrel
