// Per-folder user rights uploaded by the remote administration tool. The
// document names one project and, for each folder it lists, the groups with
// their Visible and Write flags; every listed folder that has at least one
// group gets its rights file rewritten. The project handlers pick the new
// files up at their next rights pass; the server keeps running.
//
// Folder names are relative to the project root, components separated by
// "\", "Rootfolder" standing for the root itself. A name that is not a
// portable relative path (NameRules.h) writes nothing.
//
// Threads: main window thread only.
#pragma once

#include <string>
#include <string_view>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "platform/Clock.h"

namespace kestrel::projects {

inline constexpr std::string_view kUserRightsBackupSuffix = "_UserRigths.xml";
inline constexpr std::string_view kRootFolderName = "Rootfolder";

// Where the rights file of a listed folder lies: the folder holding it,
// relative to the project root ("" for the root), and its name. Not ok when
// the folder name is refused.
struct RightsFileLocation {
  std::string folder;
  std::string name;
  bool ok = false;
};
RightsFileLocation LocateRightsFile(std::string_view foldername);

// The same as one path: "<root>\~RootRights.xml" for
// "Rootfolder", "<root>\~<name>.xml" for a one-component name, otherwise
// "<root>\<parent path>\~<last name>.xml". Empty when the name is refused.
std::string RightsFileForFolder(std::string_view root, std::string_view foldername);

// Applies the user-rights document at received_path to the project of its
// Projectname (exact name): for each listed folder with groups it waits until
// no rights pass of that project is running, then replaces the folder's rights
// file. Afterwards, also when no project has that name, the document is kept
// as ".\Backup\<stamp>_UserRigths.xml", the received file is deleted and
// "user rights updated" is logged at Warning.
//
// Returns false, changing nothing and keeping the received file, when the
// document cannot be loaded. config: the running configuration (only the
// projects' rights-pass flags are waited on). log: borrowed for the call.
bool UpdateUserRights(std::string_view received_path, const ServerConfig& config,
                      const platform::Clock& clock, const LogChannel& log);

}  // namespace kestrel::projects
