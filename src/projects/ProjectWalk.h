#pragma once
// One walk over a project tree, serving the rights pass and the scan at once.
//
// Folders are visited in pre-order, each listing sorted by name: a folder's
// files, then its subfolders one by one. Entering a subfolder S of F, the
// rights pass first gives S its rights file (a copy of F's when S has none or
// when F's last-write time is later than S's; top-level folders get the root's
// file only when they have none); the scan then reads S's rights and lists its
// files. Each folder is listed once per walk. The walk gives up between two
// directory entries once the shutdown flag is set.
//
// The walk follows no link: every folder is opened relative to its parent's
// descriptor without following one, links and special files (FIFOs, sockets,
// devices) are never listed, and rights files are read and written only as
// regular files (UserRights.h); the rights files refused in one walk are
// reported in one Warning. Entries whose names hold a "\" or a control
// character (they cannot be named in system paths or scan results) are left
// out as well; a scan notes those whose native name has no 8-bit form at all.
//
// A scan records every walked folder's access per user; a walk that ran to
// its end hands that table over for the sessions.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigModel.h"
#include "config/FolderAccess.h"
#include "platform/Directory.h"
#include "platform/FileSystem.h"

namespace kestrel {
class LogChannel;
}

namespace kestrel::projects {

class FolderRightsReader;
class ScanResultBuilder;

struct WalkPlan {
  bool propagate = false;             // rights pass: copy rights files to subfolders
  BusyFlag* rights_writing = nullptr;  // with propagate: held while a rights file is copied
  bool scan = false;                  // read rights and list files into the builder
  bool delete_empty_folders = false;  // with scan: remove empty leaf folders
};

class ProjectWalk {
 public:
  // All borrowed for the walk's life: project (the configuration's record),
  // rights (needed with plan.scan), builder (needed with plan.scan), shutdown
  // (process-wide flag), log (server log channel).
  ProjectWalk(const ProjectRecord& project, const WalkPlan& plan, FolderRightsReader* rights,
              ScanResultBuilder* builder, const std::atomic<bool>& shutdown, const LogChannel& log);

  // False when the shutdown flag stopped the walk before it saw every entry
  // (what it collected is then incomplete).
  [[nodiscard]] bool Run();
  // With plan.scan, after Run: every walked folder's access, or null when the
  // walk gave up before its end (a partial table would give unwalked folders
  // the access of their parents).
  std::shared_ptr<const FolderAccessTable> TakeFolderAccess();

  // Whether a directory entry can take part in a walk at all.
  static bool UsableName(const std::string& name);

  // With plan.scan: entries left out because their native name has no 8-bit
  // form, and the first of them in walk order as a printable path relative
  // to the root.
  int unnamed_count() const { return unnamed_count_; }
  const std::string& first_unnamed() const { return first_unnamed_; }

 private:
  // Lists the folder's files into the builder; returns how many were listed.
  int ListFiles(const std::vector<platform::DirEntry>& entries);
  // Reads the rights of the folder being entered (its file `name` in parent)
  // and starts its part of the scan results.
  void BeginFolder(const platform::Directory& parent, const std::string& name,
                   const std::string& relative, const std::string& scan_name);
  void Walk(const platform::Directory& parent, const std::string& name, platform::FileTime time,
            const std::string& relative);
  void RemoveIfEmpty(const platform::Directory& parent, const std::string& name,
                     const std::string& relative);
  // Copies a rights file while holding plan.rights_writing; returns the
  // refused count of CopyRightsFile.
  int CopyRights(const platform::Directory& from_folder, const std::string& from,
                 const platform::Directory& to_folder, const std::string& to, bool replace);
  // Lists folder (relative: its path below the root, empty for the root).
  void List(const platform::Directory& folder, const std::string& relative,
            std::vector<platform::DirEntry>& entries);
  // Asked between directory entries; remembers a give-up.
  bool Stopping() {
    if (shutdown_.load(std::memory_order_relaxed)) stopped_ = true;
    return stopped_;
  }

  const ProjectRecord& project_;
  WalkPlan plan_;
  FolderRightsReader* rights_;
  ScanResultBuilder* builder_;
  const std::atomic<bool>& shutdown_;
  const LogChannel& log_;
  std::vector<std::uint8_t> access_;                  // rights of the folder being listed
  std::shared_ptr<FolderAccessTable> folder_access_;  // with plan.scan
  int refused_rights_files_ = 0;                      // links or special files met as rights files
  bool stopped_ = false;                              // the shutdown flag ended the walk early
  int unnamed_count_ = 0;
  std::string first_unnamed_;
};

}  // namespace kestrel::projects
