#include "projects/RightsUpdate.h"

#include <vector>

#include "config/ConfigUpdate.h"
#include "logging/LogRecord.h"
#include "platform/Directory.h"
#include "projects/NameRules.h"
#include "projects/UserRights.h"
#include "support/FileNeu.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

constexpr std::string_view kTop = "UserRights";

struct GroupEntry {
  std::string name;
  bool visible = false;
  bool write = false;
};

std::vector<GroupEntry> ReadGroups(const CXmlStore& document, const std::string& folder_tag) {
  std::vector<GroupEntry> groups;
  for (int m = 1;; ++m) {
    const std::string group_tag = "Group" + std::to_string(m);
    const XmlPath group{kTop, folder_tag, group_tag};
    GroupEntry entry;
    entry.name = document.GetString(group, "Groupname");
    if (entry.name.empty()) break;
    entry.visible = document.GetBool(group, "Visible", false);
    entry.write = document.GetBool(group, "Write", false);
    groups.push_back(std::move(entry));
  }
  return groups;
}

// Replaces the rights file with one listing the groups in order. The folder
// holding it is found beneath the root without following any link, and the
// file is written beside and renamed over, never through a link. A folder
// that does not exist gets no file.
void WriteRightsFile(std::string_view root, const RightsFileLocation& location,
                     const std::vector<GroupEntry>& groups) {
  CXmlStore rights;
  if (!rights.CreateInMemory(kTop)) return;
  for (size_t k = 0; k < groups.size(); ++k) {
    const std::string group_tag = "Group" + std::to_string(k + 1);
    const XmlPath group{kTop, group_tag};
    rights.AddElement(group);
    rights.SetString(group, "Groupname", groups[k].name);
    rights.SetBool(group, "Visible", groups[k].visible);
    rights.SetBool(group, "Write", groups[k].write);
  }
  platform::Directory project_root, folder;
  if (project_root.Open(root) != 0 || project_root.OpenFolder(location.folder, folder) != 0) return;
  (void)folder.ReplaceFile(location.name, rights.Text());
}

const ProjectRecord* FindProject(const ServerConfig& config, std::string_view name) {
  for (const auto& project : config.projects) {
    if (project->projectname == name) return project.get();
  }
  return nullptr;
}

void ApplyFolders(const CXmlStore& document, const ProjectRecord& project) {
  for (int n = 1;; ++n) {
    const std::string folder_tag = "Folder" + std::to_string(n);
    const std::string foldername = document.GetString(XmlPath{kTop, folder_tag}, "Foldername");
    if (foldername.empty()) break;
    const std::vector<GroupEntry> groups = ReadGroups(document, folder_tag);
    if (groups.empty()) continue;  // the folder keeps its rights file
    const RightsFileLocation location = LocateRightsFile(foldername);
    if (!location.ok || project.rootpath.empty()) continue;
    // The project's handler reads and copies rights files during its pass;
    // rewrite only between passes.
    project.rights_pass_running.WaitClear();
    WriteRightsFile(project.rootpath, location, groups);
  }
}

}  // namespace

RightsFileLocation LocateRightsFile(std::string_view foldername) {
  RightsFileLocation location;
  if (foldername == kRootFolderName) {
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

bool UpdateUserRights(std::string_view received_path, const ServerConfig& config,
                      const platform::Clock& clock, const LogChannel& log) {
  CXmlStore document;
  if (!document.Load(received_path)) return false;
  const ProjectRecord* project =
      FindProject(config, document.GetString(XmlPath{kTop}, "Projectname"));
  if (project != nullptr) ApplyFolders(document, *project);

  CopyToBackup(received_path, clock, kUserRightsBackupSuffix);
  CFileNeu::Remove(received_path);
  log.Log(kLogWarning, "user rights updated");
  return true;
}

}  // namespace kestrel::projects
