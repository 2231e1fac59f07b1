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
  return entry.is_regular && !entry.is_link && ProjectWalk::UsableName(entry.name) &&
         entry.name[0] != '~';
}

// Listings are sorted by name (byte order), so presence is a binary search.
// Only a regular file counts: a link or special file in a rights file's
// place is no rights file.
bool HasRegularFile(const std::vector<platform::DirEntry>& entries, const std::string& name) {
  auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const platform::DirEntry& entry, const std::string& key) { return entry.name < key; });
  return found != entries.end() && found->name == name && found->is_regular && !found->is_link;
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
  if (plan_.scan) folder_access_ = std::make_shared<FolderAccessTable>(project_.users.size());
}

bool ProjectWalk::UsableName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == '\\' || byte < 0x20) return false;
  }
  return true;
}

std::shared_ptr<const FolderAccessTable> ProjectWalk::TakeFolderAccess() {
  if (stopped_) folder_access_.reset();
  return std::move(folder_access_);
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

void ProjectWalk::BeginFolder(const platform::Directory& parent, const std::string& name,
                              const std::string& relative, const std::string& scan_name) {
  if (rights_->Read(parent, name, access_) == RightsFile::kRefused) ++refused_rights_files_;
  builder_->BeginFolder(scan_name, access_);
  folder_access_->Add(relative, access_);
}

bool ProjectWalk::Run() {
  platform::Directory root;
  std::vector<platform::DirEntry> entries;
  // A root that cannot be opened or listed contributes nothing.
  if (root.Open(project_.rootpath) == 0) List(root, std::string(), entries);

  if (plan_.scan) {
    BeginFolder(root, kRootRightsName, "", std::string(kScanRootFolderName));
    ListFiles(entries);
  }
  // A top-level folder gets the root's rights file only when it has none.
  if (plan_.propagate && root.IsOpen()) {
    for (const platform::DirEntry& entry : entries) {
      if (Stopping()) break;
      const std::string rights_name = FolderRightsName(entry.name);
      if (!IsSubfolder(entry) || HasRegularFile(entries, rights_name)) continue;
      refused_rights_files_ += CopyRights(root, kRootRightsName, root, rights_name, false);
    }
  }
  for (const platform::DirEntry& entry : entries) {
    if (Stopping()) break;
    if (!IsSubfolder(entry)) continue;
    Walk(root, entry.name, entry.last_write, entry.name);
  }
  if (refused_rights_files_ > 0) {
    log_.Logf(kLogWarning,
              "project '%s': user right files that are links or no regular files count as missing",
              project_.projectname.c_str());
  }
  return !stopped_;
}

void ProjectWalk::Walk(const platform::Directory& parent, const std::string& name,
                       platform::FileTime time, const std::string& relative) {
  // Opened relative to the parent without following a link: a folder swapped
  // for a link since the parent was listed is not walked.
  platform::Directory folder;
  if (parent.OpenFolder(name, folder) != 0) return;
  std::vector<platform::DirEntry> entries;
  List(folder, relative, entries);
  const std::string rights_name = FolderRightsName(name);  // in parent

  int files = 0;
  if (plan_.scan) {
    BeginFolder(parent, rights_name, relative, relative);
    files = ListFiles(entries);
  }
  bool had_subfolder = false;
  for (const platform::DirEntry& entry : entries) {
    if (!IsSubfolder(entry)) continue;
    had_subfolder = true;
    if (Stopping()) break;
    // The folders' own times decide, not those of the rights files.
    const std::string sub_rights = FolderRightsName(entry.name);
    if (plan_.propagate && (!HasRegularFile(entries, sub_rights) || time > entry.last_write)) {
      refused_rights_files_ += CopyRights(parent, rights_name, folder, sub_rights, true);
    }
    Walk(folder, entry.name, entry.last_write, relative + "\\" + entry.name);
  }
  if (plan_.scan && plan_.delete_empty_folders && !had_subfolder && files == 0 && !Stopping()) {
    RemoveIfEmpty(parent, name, relative);
  }
}

void ProjectWalk::List(const platform::Directory& folder, const std::string& relative,
                       std::vector<platform::DirEntry>& entries) {
  platform::SkippedNames skipped;
  // A folder that cannot be listed contributes nothing.
  (void)folder.List(entries, plan_.scan ? &skipped : nullptr);
  if (skipped.count == 0) return;
  if (unnamed_count_ == 0) {
    first_unnamed_ = relative.empty() ? std::string() : relative + "\\";
    first_unnamed_ += platform::PrintableName(skipped.first);
  }
  unnamed_count_ += skipped.count;
}

// The user-rights update writes rights files only while no copy runs; the
// flag is held for the copy alone, so the update never waits for a whole walk.
int ProjectWalk::CopyRights(const platform::Directory& from_folder, const std::string& from,
                            const platform::Directory& to_folder, const std::string& to,
                            bool replace) {
  if (plan_.rights_writing != nullptr) plan_.rights_writing->Set();
  const int refused = CopyRightsFile(from_folder, from, to_folder, to, replace);
  if (plan_.rights_writing != nullptr) plan_.rights_writing->Clear();
  return refused;
}

void ProjectWalk::RemoveIfEmpty(const platform::Directory& parent, const std::string& name,
                                const std::string& relative) {
  // Succeeds only when the folder is really empty (and never for a link).
  if (parent.RemoveFolder(name) != 0) return;
  const int error = parent.DeleteFile(FolderRightsName(name));
  // A link or special file in the rights file's place is no rights file: it
  // stays. Other failures go to the logbook: a box would stop this thread.
  if (error == 0 || error == ENOENT || error == platform::kLinkOnTheWay ||
      error == platform::kNotARegularFile || error == EISDIR) {
    return;
  }
  const std::size_t cut = relative.rfind('\\');
  const std::string parent_path = cut == std::string::npos
                                      ? project_.rootpath
                                      : project_.rootpath + "\\" + relative.substr(0, cut);
  log_.Log(kLogWarning, CFileNeu::ReportText(CFileNeu::CauseFromErrno(error),
                                             FolderRightsPath(parent_path, name)));
}

}  // namespace kestrel::projects
