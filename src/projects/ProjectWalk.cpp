#include "projects/ProjectWalk.h"

#include <algorithm>
#include <cerrno>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "projects/ScanResultDocument.h"
#include "projects/UserRights.h"
#include "support/FileNeu.h"

namespace kestrel::projects {
namespace {

bool IsSubfolder(const platform::DirEntry& entry) {
  return entry.is_folder && !entry.is_link && ProjectWalk::UsableName(entry.name);
}

bool IsListedFile(const platform::DirEntry& entry) {
  return !entry.is_folder && ProjectWalk::UsableName(entry.name) && entry.name[0] != '~';
}

// Listings are sorted by name (byte order), so presence is a binary search.
bool Contains(const std::vector<platform::DirEntry>& entries, const std::string& name) {
  auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const platform::DirEntry& entry, const std::string& key) { return entry.name < key; });
  return found != entries.end() && found->name == name;
}

std::string RightsFileName(const std::string& folder_name) {
  return "~" + folder_name + ".xml";
}

}  // namespace

ProjectWalk::ProjectWalk(const ProjectRecord& project, const WalkPlan& plan,
                         FolderRightsReader* rights, ScanResultBuilder* builder,
                         const std::atomic<bool>& shutdown, const LogChannel& log)
    : project_(project),
      plan_(plan),
      rights_(rights),
      builder_(builder),
      shutdown_(shutdown),
      log_(log) {
  if (rights_ == nullptr || builder_ == nullptr) plan_.scan = false;
}

bool ProjectWalk::UsableName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == '\\' || byte < 0x20) return false;
  }
  return true;
}

int ProjectWalk::ListFiles(const std::vector<platform::DirEntry>& entries) {
  int listed = 0;
  for (const platform::DirEntry& entry : entries) {
    if (Stopping()) break;
    if (!IsListedFile(entry)) continue;
    builder_->AddFile(entry.name, entry.last_write, entry.size);
    ++listed;
  }
  return listed;
}

bool ProjectWalk::Run() {
  const std::string& root = project_.rootpath;
  const std::string root_rights = RootRightsPath(root);
  std::vector<platform::DirEntry> entries;
  List(root, std::string(), entries);

  if (plan_.scan) {
    rights_->Read(root_rights, access_);
    builder_->BeginFolder("RootFolder", access_);
    ListFiles(entries);
  }
  // A top-level folder gets the root's rights file only when it has none.
  if (plan_.propagate) {
    for (const platform::DirEntry& entry : entries) {
      if (Stopping()) break;
      if (!IsSubfolder(entry) || Contains(entries, RightsFileName(entry.name))) continue;
      CopyRights(root_rights, FolderRightsPath(root, entry.name), false);
    }
  }
  for (const platform::DirEntry& entry : entries) {
    if (Stopping()) break;
    if (!IsSubfolder(entry)) continue;
    Walk(root, entry.name, entry.last_write, FolderRightsPath(root, entry.name), entry.name);
  }
  return !stopped_;
}

void ProjectWalk::Walk(const std::string& parent, const std::string& name, platform::FileTime time,
                       const std::string& rights_file, const std::string& relative) {
  const std::string folder = parent + "\\" + name;
  std::vector<platform::DirEntry> entries;
  List(folder, relative, entries);

  int files = 0;
  if (plan_.scan) {
    rights_->Read(rights_file, access_);
    builder_->BeginFolder(relative, access_);
    files = ListFiles(entries);
  }
  bool had_subfolder = false;
  for (const platform::DirEntry& entry : entries) {
    if (!IsSubfolder(entry)) continue;
    had_subfolder = true;
    if (Stopping()) break;
    std::string sub_rights = FolderRightsPath(folder, entry.name);
    // The folders' own times decide, not those of the rights files.
    if (plan_.propagate &&
        (!Contains(entries, RightsFileName(entry.name)) || time > entry.last_write)) {
      CopyRights(rights_file, sub_rights, true);
    }
    Walk(folder, entry.name, entry.last_write, sub_rights, relative + "\\" + entry.name);
  }
  if (plan_.scan && plan_.delete_empty_folders && !had_subfolder && files == 0 && !Stopping()) {
    RemoveIfEmpty(folder, rights_file);
  }
}

void ProjectWalk::List(const std::string& folder, const std::string& relative,
                       std::vector<platform::DirEntry>& entries) {
  platform::SkippedNames skipped;
  // A folder that cannot be listed contributes nothing.
  platform::ListDirectory(folder, entries, plan_.scan ? &skipped : nullptr);
  if (skipped.count == 0) return;
  if (unnamed_count_ == 0) {
    first_unnamed_ = relative.empty() ? std::string() : relative + "\\";
    first_unnamed_ += platform::PrintableName(skipped.first);
  }
  unnamed_count_ += skipped.count;
}

// The user-rights update writes rights files only while no copy runs; the
// flag is held for the copy alone, so the update never waits for a whole walk.
void ProjectWalk::CopyRights(const std::string& from, const std::string& to, bool replace) {
  if (plan_.rights_writing != nullptr) plan_.rights_writing->Set();
  CopyRightsFile(from, to, replace);  // a failed copy is silent
  if (plan_.rights_writing != nullptr) plan_.rights_writing->Clear();
}

void ProjectWalk::RemoveIfEmpty(const std::string& folder, const std::string& rights_file) {
  platform::RemoveFolder(folder);  // succeeds only when the folder is really empty
  if (platform::Exists(folder) || !platform::Exists(rights_file)) return;
  // Reported in the logbook: a box would stop this thread until confirmed.
  int error = platform::DeleteFile(rights_file);
  if (error != 0 && error != ENOENT) {
    log_.Log(kLogWarning, CFileNeu::ReportText(CFileNeu::CauseFromErrno(error), rights_file));
  }
}

}  // namespace kestrel::projects
