#include "projects/UserRights.h"

#include <set>

#include "config/ConfigReader.h"
#include "logging/LogChannel.h"
#include "platform/Directory.h"
#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/XmlStore.h"

namespace kestrel::projects {

bool HasRootRightsFile(std::string_view root) {
  platform::Directory folder;
  return folder.Open(root) == 0 && folder.Kind(kRootRightsName) == platform::EntryKind::kFile;
}

namespace {

RightsFile ReadRightsText(const platform::Directory& folder, std::string_view name,
                          std::string& text, platform::DirEntry* status = nullptr) {
  const int error = folder.ReadRegularFile(name, kRightsFileLimit, text, status);
  if (error == 0) return RightsFile::kRead;
  if (error == platform::kLinkOnTheWay || error == platform::kNotARegularFile || error == EFBIG) {
    return RightsFile::kRefused;
  }
  return RightsFile::kMissing;
}

}  // namespace

int CopyRightsFile(const platform::Directory& from_folder, std::string_view from_name,
                   const platform::Directory& to_folder, std::string_view to_name, bool replace) {
  const platform::EntryKind target = to_folder.Kind(to_name);
  int refused = target == platform::EntryKind::kLink || target == platform::EntryKind::kSpecial;
  const bool existing = target == platform::EntryKind::kFile;
  if (existing && !replace) return refused;
  std::string source;
  platform::DirEntry source_status;
  const RightsFile read = ReadRightsText(from_folder, from_name, source, &source_status);
  if (read != RightsFile::kRead) return refused + (read == RightsFile::kRefused ? 1 : 0);
  platform::FileTime folder_time = 0;
  if (existing) {
    // Rewriting a file costs a forced write-back on many file systems; most
    // passes find the same rights already there.
    std::string current;
    if (ReadRightsText(to_folder, to_name, current) == RightsFile::kRead && current == source) {
      return refused;
    }
    if (to_folder.LastWriteTime(folder_time) != 0) folder_time = 0;
  }
  if (to_folder.ReplaceFile(to_name, source, source_status.last_write) == 0 && folder_time != 0) {
    // The rename changed the folder's time; an overwrite in place would not
    // have, and the rights pass compares folder times.
    (void)to_folder.SetLastWriteTime(folder_time);
  }
  return refused;
}

FolderRightsReader::FolderRightsReader(const ProjectRecord& project, CXmlStore& store)
    : store_(store), privileges_(project.user_privileges), user_count_(project.users.size()) {
  for (std::size_t u = 0; u < project.users.size(); ++u) {
    for (const GroupNode& group : project.users[u]->groups) members_[group.name].push_back(u);
  }
}

RightsFile FolderRightsReader::Read(const platform::Directory& folder, std::string_view name,
                                    std::vector<std::uint8_t>& access) {
  if (!privileges_) {
    access.assign(user_count_, kAccessVisible | kAccessWritable);
    return RightsFile::kRead;
  }
  access.assign(user_count_, kAccessNone);
  std::string text;
  const RightsFile read = ReadRightsText(folder, name, text);
  if (read != RightsFile::kRead) return read;
  if (!store_.LoadText(text)) return RightsFile::kMissing;
  // Group1, Group2, ... up to the first one without a name; flags only ever
  // go from false to true, so a user gets the union over the groups.
  for (int n = 1;; ++n) {
    std::string element = SectionTag(rights_keys::kGroupPrefix, n);
    XmlPath path{rights_keys::kRoot, element};
    std::string name = store_.GetString(path, rights_keys::kGroupname);
    if (name.empty()) break;
    auto found = members_.find(name);
    if (found == members_.end()) continue;
    bool visible = store_.GetBool(path, rights_keys::kVisible, false);
    bool writable = store_.GetBool(path, rights_keys::kWrite, false);
    for (std::size_t u : found->second) {
      if (visible) access[u] |= kAccessVisible;
      if (writable) access[u] |= kAccessWritable;
    }
  }
  return RightsFile::kRead;
}

namespace {

// n of a managed root ".\Rootfolder\Project<n>" as the numbering writes it
// (decimal, no leading zero, from 1); 0 for any other path.
int ManagedRootNumber(std::string_view root) {
  if (!root.starts_with(kManagedRootPrefix)) return 0;
  const std::string_view digits = root.substr(kManagedRootPrefix.size());
  if (digits.empty() || digits.size() > 9 || digits[0] == '0') return 0;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

}  // namespace

bool PrepareRootFolders(ServerConfig& config, CXmlStore& config_store) {
  if (config.settings.customer_installation) return false;
  // A project keeps the managed root it has unless an earlier project claims
  // that folder, so removing or reordering projects never hands one project's
  // folder to another.
  std::set<int> claimed;
  std::vector<bool> keeps;
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    const int number = ManagedRootNumber(project->rootpath);
    keeps.push_back(number > 0 && claimed.insert(number).second);
  }
  bool changed = false;
  int free_number = 1;
  for (std::size_t i = 0; i < config.projects.size(); ++i) {
    ProjectRecord& project = *config.projects[i];
    if (!keeps[i]) {
      // The lowest number no configured project claims and no folder holds:
      // the folder of a project removed earlier is never handed to a new one.
      while (claimed.count(free_number) != 0 ||
             platform::Exists(std::string(kManagedRootPrefix) + std::to_string(free_number))) {
        ++free_number;
      }
      claimed.insert(free_number);
      project.rootpath = std::string(kManagedRootPrefix) + std::to_string(free_number);
      (void)config_store.SetExistingString(XmlPath{config_keys::kRoot, project.section_tag},
                                           config_keys::kRootpath, project.rootpath);
      changed = true;
    }
    const std::string& root = project.rootpath;
    // The whole path, so a missing ".\Rootfolder" is created too.
    if (!platform::IsFolder(root)) (void)CFileNeu::CreatePath(root);
    std::string rights = RootRightsPath(root);
    if (!CFileNeu::Exists(rights)) (void)platform::CopyFile(kRootRightsTemplate, rights, false);
  }
  if (changed && config_store.IsLoaded()) (void)config_store.Save();
  return changed;
}

}  // namespace kestrel::projects
