#include "projects/ObsoleteFolders.h"

#include <cstdint>
#include <string>
#include <vector>

#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

constexpr std::string_view kTop = "ObsoleteFolders";
constexpr std::string_view kFolderpath = "Folderpath";
constexpr std::string_view kTimestamp = "Timestamp";
constexpr const char* kDateFormat = "%d.%m.%y";
constexpr std::uint64_t kFileTimePerDay = 86400ULL * 10'000'000ULL;  // 100 ns units

std::string EntryTag(int n) {
  return "Folder" + std::to_string(n);
}

// A two-digit decimal field; -1 when it is anything else.
int TwoDigits(std::string_view field) {
  if (field.size() != 2 || field[0] < '0' || field[0] > '9' || field[1] < '0' || field[1] > '9') {
    return -1;
  }
  return (field[0] - '0') * 10 + (field[1] - '0');
}

// Every project root lies directly in the managed base folder.
bool ManagedLayout(const ServerConfig& config) {
  if (config.settings.customer_installation) return false;
  const std::string prefix = std::string(kManagedBaseFolder) + "\\";
  for (const auto& project : config.projects) {
    const std::string_view root = project->rootpath;
    if (root.size() <= prefix.size() || root.substr(0, prefix.size()) != prefix) return false;
    const std::string_view name = root.substr(prefix.size());
    if (name.find('\\') != std::string_view::npos || name == "." || name == "..") return false;
  }
  return true;
}

// The folder is a project root or holds one.
bool Claimed(const ServerConfig& config, const std::string& candidate) {
  for (const auto& project : config.projects) {
    const std::string& root = project->rootpath;
    if (root == candidate) return true;
    if (root.size() > candidate.size() && root.compare(0, candidate.size(), candidate) == 0 &&
        root[candidate.size()] == '\\') {
      return true;
    }
  }
  return false;
}

void WriteEntry(CXmlStore& list, int n, const std::string& path, const std::string& date) {
  const std::string tag = EntryTag(n);
  const XmlPath entry{kTop, tag};
  (void)list.AddElement(entry);
  (void)list.SetString(entry, kFolderpath, path);
  (void)list.SetString(entry, kTimestamp, date);
}

// Rewrites the list without the entries for candidate, renumbered from 1.
void DropFromList(const CXmlStore& list, const std::string& candidate) {
  CXmlStore rewrite;
  if (!rewrite.Create(kObsoleteFoldersRewrite, kTop)) return;
  int kept = 0;
  for (int n = 1;; ++n) {
    const std::string tag = EntryTag(n);
    const XmlPath entry{kTop, tag};
    const std::string path = list.GetString(entry, kFolderpath);
    const std::string date = list.GetString(entry, kTimestamp);
    if (path.empty() || date.empty()) break;
    if (path != candidate) WriteEntry(rewrite, ++kept, path, date);
  }
  // The rename replaces the old list in one step.
  if (!rewrite.Save() || platform::RenameFile(kObsoleteFoldersRewrite, kObsoleteFoldersList) != 0) {
    platform::RemoveIfExists(kObsoleteFoldersRewrite);
  }
}

// Returns true when the candidate was deleted.
bool CheckCandidate(const ServerConfig& config, const std::string& candidate,
                    const platform::Clock& clock, const LogChannel& log) {
  if (Claimed(config, candidate)) return false;
  const platform::LocalTime now = clock.Local();
  const std::string today = platform::FormatLocalTime(now, kDateFormat);

  CXmlStore list;
  if (!list.Load(kObsoleteFoldersList)) {
    if (list.Create(kObsoleteFoldersList, kTop)) {
      WriteEntry(list, 1, candidate, today);
      (void)list.Save();
    }
    return false;
  }
  std::string listed_date;
  for (int n = 1; listed_date.empty(); ++n) {
    const std::string tag = EntryTag(n);
    const XmlPath entry{kTop, tag};
    const std::string path = list.GetString(entry, kFolderpath);
    const std::string date = list.GetString(entry, kTimestamp);
    if (path.empty() || date.empty()) {
      WriteEntry(list, n, candidate, today);
      (void)list.Save();
      return false;
    }
    if (path == candidate) listed_date = date;
  }
  if (!ObsoleteDateExpired(listed_date, clock)) return false;

  DropFromList(list, candidate);
  // File-system removal that never follows links (a link inside the tree is
  // removed, not its target).
  (void)platform::RemoveTree(candidate);
  log.Log(kLogWarning, "Obsolete folder deleted: Foldername");
  return true;
}

}  // namespace

bool ObsoleteDateExpired(std::string_view timestamp, const platform::Clock& clock) {
  const platform::FileTime now = clock.Now();
  platform::FileTime start = now;
  if (timestamp.size() == 8) {
    platform::LocalTime midnight;
    midnight.day = TwoDigits(timestamp.substr(0, 2));
    midnight.month = TwoDigits(timestamp.substr(3, 2));
    const int year_digits = TwoDigits(timestamp.substr(6, 2));
    midnight.year = year_digits < 0 ? -1 : 2000 + year_digits;
    if (midnight.year >= 1971 && midnight.year <= 2037 && midnight.month >= 1 &&
        midnight.month <= 12 && midnight.day >= 1 && midnight.day <= 31) {
      start = clock.FromLocal(midnight);
    }
  }
  // Real seconds: across a daylight-saving change the deadline's wall-clock
  // time moves by the hour the change adds or takes away.
  return now > start + kObsoleteRetentionDays * kFileTimePerDay;
}

int CleanUpObsoleteFolders(const ServerConfig& config, const platform::Clock& clock,
                           const LogChannel& log) {
  if (config.projects.empty() || !ManagedLayout(config)) return 0;
  std::vector<platform::DirEntry> entries;
  if (platform::ListDirectory(kManagedBaseFolder, entries) != 0) return 0;
  int deleted = 0;
  for (const platform::DirEntry& entry : entries) {
    // A native name holding "\" would address a folder further down.
    if (!entry.is_folder || entry.is_link || entry.name.find('\\') != std::string::npos) {
      continue;
    }
    const std::string candidate = std::string(kManagedBaseFolder) + "\\" + entry.name;
    if (CheckCandidate(config, candidate, clock, log)) ++deleted;
  }
  return deleted;
}

}  // namespace kestrel::projects
