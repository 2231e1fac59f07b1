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

namespace kestrel {
class CXmlStore;
}

namespace kestrel::projects {

inline constexpr const char* kRootRightsName = "~RootRights.xml";
inline constexpr const char* kRootRightsTemplate = "~RootRights_default.xml";

// Bits of one user's access to one folder.
enum FolderAccess : std::uint8_t {
  kAccessNone = 0,
  kAccessVisible = 1,
  kAccessWritable = 2,
};

// "<root>\~RootRights.xml".
std::string RootRightsPath(std::string_view root);
// "<parent>\~<name>.xml": the rights file of folder <parent>\<name>.
std::string FolderRightsPath(std::string_view parent, std::string_view name);

// Copies a rights file; without replace an existing target stays. A target
// that already holds the same bytes is not rewritten. False when the copy
// failed (silently, as every rights copy).
bool CopyRightsFile(const std::string& from, const std::string& to, bool replace);

// Reads rights files into one FolderAccess value per user of a project (list
// order). Handler thread only.
class FolderRightsReader {
 public:
  // project: owned by the configuration, outlives the reader. store: the scan
  // context's rights store, borrowed for the reader's life.
  FolderRightsReader(const ProjectRecord& project, CXmlStore& store);

  // Without user privileges every user may see and write, and no file is read.
  // A file that cannot be loaded hides the folder from everybody.
  void Read(std::string_view rights_file, std::vector<std::uint8_t>& access);

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
