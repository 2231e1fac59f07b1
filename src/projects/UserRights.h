#pragma once
// Per-folder user rights. The rights of the project root lie in the root as
// "~RootRights.xml"; those of any folder F below it lie in F's parent as
// "~<name of F>.xml". A file lists groups with Visible and Write flags; a
// user's rights are the union over the listed groups the user belongs to
// (exact, case-sensitive names).
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigModel.h"
#include "config/FolderAccess.h"
#include "support/ServerFiles.h"

namespace kestrel {
class CXmlStore;
}

namespace kestrel::platform {
class Directory;
}

namespace kestrel::projects {

// The names of rights files (support/ServerFiles.h).
using kestrel::FolderRightsName;
using kestrel::FolderRightsPath;
using kestrel::kRootRightsName;
using kestrel::kRootRightsTemplate;
using kestrel::RootRightsPath;
// Rights files are small; a larger one is not read.
inline constexpr std::size_t kRightsFileLimit = 1 << 20;
// True when the root holds its rights file as a regular file (not a link).
bool HasRootRightsFile(std::string_view root);

// Rights files are read only when they are regular files (never through a
// link, never a FIFO or device) of at most kRightsFileLimit bytes; any other
// one counts as missing, and the walk reports it once per pass.
enum class RightsFile { kRead, kMissing, kRefused };

// Copies a rights file from one folder to another: always written to a
// temporary name beside the target and renamed over it, so a link or special
// file in the target's place is replaced, never written through. Without
// replace an existing regular target stays. A target that already holds the
// same bytes is not rewritten, and rewriting an existing one keeps its
// folder's last-write time, as an overwrite in place would. Failures are
// silent, as every rights copy; the result counts source and target files
// that were refused (links or special files).
int CopyRightsFile(const platform::Directory& from_folder, std::string_view from_name,
                   const platform::Directory& to_folder, std::string_view to_name, bool replace);

// Reads rights files into one FolderAccess value per user of a project (list
// order). Handler thread only.
class FolderRightsReader {
 public:
  // project: owned by the configuration, outlives the reader. store: the scan
  // context's rights store, borrowed for the reader's life.
  FolderRightsReader(const ProjectRecord& project, CXmlStore& store);

  // The rights file name in folder. Without user privileges every user may
  // see and write, and no file is read. A file that cannot be loaded hides
  // the folder from everybody.
  RightsFile Read(const platform::Directory& folder, std::string_view name,
                  std::vector<std::uint8_t>& access);

 private:
  CXmlStore& store_;
  bool privileges_;
  std::size_t user_count_;
  // Group name -> indices of the users in that group.
  std::map<std::string, std::vector<std::size_t>, std::less<>> members_;
};

// At start, when CustomerInstallation is off: every project's root becomes
// ".\Rootfolder\Project%d". A project whose root already has that form keeps
// it unless an earlier project in the list claims the same folder; every
// other project gets the lowest number no project claims (changed paths are
// written into config_store and saved). The folder is created and gets a copy
// of "~RootRights_default.xml" as its root rights file when it has none.
// Main thread, before any handler exists. Returns whether a root path changed.
bool PrepareRootFolders(ServerConfig& config, CXmlStore& config_store);

}  // namespace kestrel::projects
