#include "projects/RightsUpdate.h"

#include <vector>

#include "config/ConfigReader.h"
#include "config/ConfigUpdate.h"
#include "logging/LogRecord.h"
#include "platform/Directory.h"
#include "projects/NameRules.h"
#include "projects/UserRights.h"
#include "support/FileNeu.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

namespace keys = rights_keys;

struct GroupEntry {
  std::string name;
  bool visible = false;
  bool write = false;
};

std::vector<GroupEntry> ReadGroups(const CXmlStore& document, const std::string& folder_tag) {
  std::vector<GroupEntry> groups;
  for (int m = 1;; ++m) {
    const std::string group_tag = SectionTag(keys::kGroupPrefix, m);
    const XmlPath group{keys::kRoot, folder_tag, group_tag};
    GroupEntry entry;
    entry.name = document.GetString(group, keys::kGroupname);
    if (entry.name.empty()) break;
    entry.visible = document.GetBool(group, keys::kVisible, false);
    entry.write = document.GetBool(group, keys::kWrite, false);
    groups.push_back(std::move(entry));
  }
  return groups;
}

// Replaces the rights file with one listing the groups in order. The folder
// holding it is found beneath the root without following any link, and the
// file is written beside and renamed over, never through a link. A folder
// that does not exist gets no file (true: nothing to write). False when the
// file could not be written.
bool WriteRightsFile(std::string_view root, const RightsFileLocation& location,
                     const std::vector<GroupEntry>& groups) {
  CXmlStore rights;
  if (!rights.CreateInMemory(keys::kRoot)) return false;
  for (size_t k = 0; k < groups.size(); ++k) {
    const std::string group_tag = SectionTag(keys::kGroupPrefix, static_cast<int>(k + 1));
    const XmlPath group{keys::kRoot, group_tag};
    if (!rights.AddElement(group) || !rights.SetString(group, keys::kGroupname, groups[k].name) ||
        !rights.SetBool(group, keys::kVisible, groups[k].visible) ||
        !rights.SetBool(group, keys::kWrite, groups[k].write)) {
      return false;
    }
  }
  platform::Directory project_root, folder;
  if (project_root.Open(root) != 0 || project_root.OpenFolder(location.folder, folder) != 0) {
    return true;
  }
  return folder.ReplaceFile(location.name, rights.Text()) == 0;
}

const ProjectRecord* FindProject(const ServerConfig& config, std::string_view name) {
  for (const auto& project : config.projects) {
    if (project->projectname == name) return project.get();
  }
  return nullptr;
}

// False when the project's handler was still copying rights files at the
// deadline.
bool ApplyFolders(const CXmlStore& document, const ProjectRecord& project,
                  std::chrono::steady_clock::time_point deadline, const LogChannel& log) {
  for (int n = 1;; ++n) {
    const std::string folder_tag = SectionTag(keys::kFolderPrefix, n);
    const std::string foldername =
        document.GetString(XmlPath{keys::kRoot, folder_tag}, keys::kFoldername);
    if (foldername.empty()) return true;
    const std::vector<GroupEntry> groups = ReadGroups(document, folder_tag);
    if (groups.empty()) continue;  // the folder keeps its rights file
    const RightsFileLocation location = LocateRightsFile(foldername);
    if (!location.ok || project.rootpath.empty()) continue;
    // The project's handler copies rights files during its walk; rewrite
    // only between two copies.
    if (!project.rights_pass_running.WaitClearUntil(deadline)) return false;
    if (!WriteRightsFile(project.rootpath, location, groups)) {
      log.Logf(kLogError, "user rights of folder '%s' in project '%s' cannot be written",
               foldername.c_str(), project.projectname.c_str());
    }
  }
}

}  // namespace

RightsFileLocation LocateRightsFile(std::string_view foldername) {
  RightsFileLocation location;
  if (foldername == kRightsRootFolderName) {
    location.name = kRootRightsName;
  } else {
    if (!IsPortableRelativePath(foldername)) return location;
    const size_t last = foldername.rfind('\\');
    const std::string_view name =
        last == std::string_view::npos ? foldername : foldername.substr(last + 1);
    if (last != std::string_view::npos) location.folder.assign(foldername.substr(0, last));
    location.name = FolderRightsName(name);
  }
  location.ok = true;
  return location;
}

std::string RightsFileForFolder(std::string_view root, std::string_view foldername) {
  const RightsFileLocation location = LocateRightsFile(foldername);
  if (root.empty() || !location.ok) return std::string();
  std::string path(root);
  if (!location.folder.empty()) path += "\\" + location.folder;
  return path + "\\" + location.name;
}

RightsUpdateOutcome UpdateUserRights(std::string_view received_path, const ServerConfig& config,
                                     const platform::Clock& clock, const LogChannel& log,
                                     std::chrono::milliseconds wait_limit) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  CXmlStore document;
  if (!document.Load(received_path)) return RightsUpdateOutcome::kUnreadable;
  const ProjectRecord* project =
      FindProject(config, document.GetString(XmlPath{keys::kRoot}, keys::kProjectname));
  if (project != nullptr && !ApplyFolders(document, *project, deadline, log)) {
    log.Logf(kLogError, "user rights update for project '%s' waits: rights files are being copied",
             project->projectname.c_str());
    return RightsUpdateOutcome::kBusy;
  }

  (void)CopyToBackup(received_path, clock, kUserRightsBackupSuffix);  // a missing backup is no stop
  (void)CFileNeu::Remove(received_path);  // a failure is reported by the file class
  log.Log(kLogWarning, "user rights updated");
  return RightsUpdateOutcome::kApplied;
}

PendingRightsUpdates::PendingRightsUpdates(const ServerConfig& config, const platform::Clock& clock,
                                           const LogChannel& log,
                                           std::chrono::milliseconds wait_limit)
    : config_(config), clock_(clock), log_(log), wait_limit_(wait_limit) {}

void PendingRightsUpdates::Submit(std::string received_path) {
  if (waiting_.size() >= kMaxWaiting) {
    log_.Logf(kLogError, "user rights document %s dropped: %zu updates are waiting",
              received_path.c_str(), waiting_.size());
    platform::RemoveIfExists(received_path);
    return;
  }
  // A name already waiting now holds the newer document; a later document
  // must not overtake an earlier one.
  for (const std::string& path : waiting_) {
    if (path == received_path) return;
  }
  waiting_.push_back(std::move(received_path));
  if (waiting_.size() == 1) Retry();
}

void PendingRightsUpdates::Retry() {
  while (!waiting_.empty()) {
    if (UpdateUserRights(waiting_.front(), config_, clock_, log_, wait_limit_) ==
        RightsUpdateOutcome::kBusy) {
      return;
    }
    waiting_.pop_front();
  }
}

}  // namespace kestrel::projects
