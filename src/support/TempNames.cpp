#include "support/TempNames.h"

#include <vector>

#include "platform/FileSystem.h"
#include "platform/SideFile.h"

namespace kestrel {
namespace {

constexpr std::string_view kOldStagingName = kTransferEntryName;
constexpr std::string_view kStagingPrefix = "transfer_";
constexpr std::string_view kStagingSuffix = ".dat";
constexpr std::string_view kServerLogsName = "serverlogs.zip";
constexpr std::string_view kServerLogsBuildName = "serverlogs_build.zip";
constexpr std::string_view kRemoteArchivePrefix = "XMLConfig_";
constexpr std::string_view kArchiveSuffix = ".zip";

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A connection number as "%d" writes it.
bool IsSlotNumber(std::string_view text) {
  if (!AllDigits(text) || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return false;
  return std::stoi(std::string(text)) < kTransferSlotCount;
}

// "<project>_<user>_<slot>" (neither name empty; both may hold "_").
bool IsClientArchiveStem(std::string_view stem) {
  const std::size_t last = stem.rfind('_');
  if (last == std::string_view::npos || !IsSlotNumber(stem.substr(last + 1))) return false;
  const std::string_view names = stem.substr(0, last);
  const std::size_t middle = names.find('_', 1);
  return middle != std::string_view::npos && middle + 1 < names.size();
}

}  // namespace

std::string StagingFilePath(int slot) {
  return std::string(kTempFolder) + "\\" + std::string(kStagingPrefix) + std::to_string(slot) +
         std::string(kStagingSuffix);
}

std::string ClientArchivePath(std::string_view project_name, std::string_view user_name, int slot) {
  std::string path = std::string(kTempFolder) + "\\";
  path += project_name;
  path += '_';
  path += user_name;
  path += '_';
  path += std::to_string(slot);
  path += kArchiveSuffix;
  return path;
}

bool IsServerTempFile(std::string_view name) {
  if (name == kOldStagingName || name == kServerLogsName || name == kServerLogsBuildName) {
    return true;
  }
  if (name.starts_with(kStagingPrefix) && name.ends_with(kStagingSuffix) &&
      IsSlotNumber(name.substr(kStagingPrefix.size(),
                               name.size() - kStagingPrefix.size() - kStagingSuffix.size()))) {
    return true;
  }
  if (platform::IsSideFileName(name)) return name.find('\\') == std::string_view::npos;
  if (!name.ends_with(kArchiveSuffix)) return false;
  const std::string_view stem = name.substr(0, name.size() - kArchiveSuffix.size());
  if (stem.starts_with(kRemoteArchivePrefix) &&
      IsSlotNumber(stem.substr(kRemoteArchivePrefix.size()))) {
    return true;
  }
  return IsClientArchiveStem(stem);
}

std::size_t RemoveServerTempFiles() {
  std::vector<platform::DirEntry> entries;
  if (platform::ListDirectory(kTempFolder, entries) != 0) return 0;
  std::size_t removed = 0;
  for (const platform::DirEntry& entry : entries) {
    if (entry.is_folder || !IsServerTempFile(entry.name)) continue;
    const std::string path = std::string(kTempFolder) + "\\" + entry.name;
    if (platform::DeleteFile(path) == 0) ++removed;  // a link goes, never its target
  }
  return removed;
}

}  // namespace kestrel
