#include "session/ServerLogs.h"

#include <mutex>

#include "platform/FileSystem.h"
#include "support/ServerFiles.h"
#include "support/ZipArchive.h"

namespace kestrel {
namespace {

bool Stopped(const std::atomic<bool>* shutdown) {
  return shutdown != nullptr && shutdown->load();
}

// Non-empty plain files of folder, in listing order, that pass `take`.
template <typename Filter>
void AddFolder(std::string_view folder, const std::atomic<bool>* shutdown, Filter take,
               std::vector<ServerLogsSource>& out) {
  std::vector<platform::DirEntry> entries;
  if (platform::ListDirectory(folder, entries) != 0) return;
  for (const platform::DirEntry& entry : entries) {
    if (Stopped(shutdown)) return;
    if (entry.is_folder || entry.is_link || entry.size == 0 || !take(entry.name)) continue;
    std::string path(folder);
    path += '\\';
    path += entry.name;
    out.push_back(ServerLogsSource{entry.name, std::move(path)});
  }
}

// Guards the build side file, the name in place and current_build.
std::mutex& ArchiveMutex() {
  static std::mutex mu;
  return mu;
}
std::uint64_t current_build = 0;  // the build now at the name; 0: none known
std::uint64_t last_build = 0;     // numbers handed out so far

}  // namespace

std::vector<ServerLogsSource> ListServerLogsSources(const std::atomic<bool>* shutdown) {
  std::vector<ServerLogsSource> sources;
  if (platform::Exists(kConfigFilePath))
    sources.push_back(ServerLogsSource{std::string(kServerConfigEntry), kConfigFilePath});
  AddFolder(kConfigFolder, shutdown, IsScanResultName, sources);
  AddFolder(
      kLogsFolder, shutdown, [](std::string_view) { return true; }, sources);
  return sources;
}

bool WriteServerLogsArchive(std::string_view path, const std::atomic<bool>* shutdown) {
  const std::vector<ServerLogsSource> sources = ListServerLogsSources(shutdown);
  if (Stopped(shutdown)) return false;
  ZipWriter writer;
  if (!writer.Create(path)) return false;
  for (const ServerLogsSource& source : sources) {
    (void)writer.AddFile(source.entry, source.path, shutdown);  // unreadable files are left out
    if (Stopped(shutdown)) return false;
  }
  return writer.Close();
}

std::uint64_t ServerLogsArchive::Build(const std::atomic<bool>* shutdown, CFileNeu& reader) {
  if (reader.IsOpen()) reader.Close();
  std::lock_guard<std::mutex> lock(ArchiveMutex());
  platform::RemoveIfExists(kServerLogsBuildPath);
  if (!WriteServerLogsArchive(kServerLogsBuildPath, shutdown) ||
      platform::RenameFile(kServerLogsBuildPath, kServerLogsArchive) != 0) {
    platform::RemoveIfExists(kServerLogsBuildPath);
    return 0;
  }
  current_build = ++last_build;
  reader.SetShowErrors(false);
  (void)reader.Open(kServerLogsArchive, CFileNeu::kRead);
  return current_build;
}

void ServerLogsArchive::RemoveIfCurrent(std::uint64_t build) {
  std::lock_guard<std::mutex> lock(ArchiveMutex());
  if (build == 0 || build != current_build) return;
  platform::RemoveIfExists(kServerLogsArchive);
  current_build = 0;
}

}  // namespace kestrel
