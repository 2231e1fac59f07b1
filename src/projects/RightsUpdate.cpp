#include "projects/RightsUpdate.h"

#include <vector>

#include "config/ConfigUpdate.h"
#include "logging/LogRecord.h"
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

bool IsPlainComponent(std::string_view name) {
  if (name.empty()) return false;
  bool only_dots_and_blanks = true;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == ':' || c == '/') return false;
    if (c != '.' && c != ' ') only_dots_and_blanks = false;
  }
  // ".", ".." and names Windows would shorten to them ("...", ". ").
  return !only_dots_and_blanks;
}

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

// Replaces the rights file with one listing the groups in order. A folder
// that does not exist gets no file.
void WriteRightsFile(const std::string& path, const std::vector<GroupEntry>& groups) {
  CFileNeu::Remove(path, false);
  CXmlStore rights;
  if (!rights.Create(path, kTop)) return;
  for (size_t k = 0; k < groups.size(); ++k) {
    const std::string group_tag = "Group" + std::to_string(k + 1);
    const XmlPath group{kTop, group_tag};
    rights.AddElement(group);
    rights.SetString(group, "Groupname", groups[k].name);
    rights.SetBool(group, "Visible", groups[k].visible);
    rights.SetBool(group, "Write", groups[k].write);
  }
  rights.Save();
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
    const std::string target = RightsFileForFolder(project.rootpath, foldername);
    if (target.empty()) continue;
    // The project's handler reads and copies rights files during its pass;
    // rewrite only between passes.
    project.rights_pass_running.WaitClear();
    WriteRightsFile(target, groups);
  }
}

}  // namespace

bool IsPlainRelativeFolder(std::string_view foldername) {
  for (;;) {
    const size_t separator = foldername.find('\\');
    if (!IsPlainComponent(foldername.substr(0, separator))) return false;
    if (separator == std::string_view::npos) return true;
    foldername.remove_prefix(separator + 1);
  }
}

std::string RightsFileForFolder(std::string_view root, std::string_view foldername) {
  if (root.empty()) return std::string();
  if (foldername == kRootFolderName) return RootRightsPath(root);
  if (!IsPlainRelativeFolder(foldername)) return std::string();
  const size_t last = foldername.rfind('\\');
  if (last == std::string_view::npos) return FolderRightsPath(root, foldername);
  std::string parent(root);
  parent += '\\';
  parent += foldername.substr(0, last);
  return FolderRightsPath(parent, foldername.substr(last + 1));
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
