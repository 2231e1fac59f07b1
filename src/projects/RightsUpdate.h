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

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "platform/Clock.h"

namespace kestrel::projects {

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

// The longest time one update waits for a project handler's rights copy.
inline constexpr std::chrono::milliseconds kRightsWaitLimit{60000};

enum class RightsUpdateOutcome {
  kApplied,     // rights files written (or no such project), backed up, logged
  kUnreadable,  // the document cannot be loaded: nothing changed, file kept
  kBusy,        // the project's handler kept copying rights files for longer
                // than the wait limit: an Error is logged, the received file
                // stays for a later try (folders already written are written
                // again then, with the same content)
};

// Applies the user-rights document at received_path to the project of its
// Projectname (exact name): for each listed folder with groups it waits until
// the project's handler copies no rights file, then replaces the folder's
// rights file. Afterwards, also when no project has that name, the document is
// kept as ".\Backup\<stamp>_UserRigths.xml", the received file is deleted and
// "user rights updated" is logged at Warning. All waits together last at most
// wait_limit. config: the running configuration (only the projects'
// rights-pass flags are waited on). log: borrowed for the call.
[[nodiscard]] RightsUpdateOutcome UpdateUserRights(
    std::string_view received_path, const ServerConfig& config, const platform::Clock& clock,
    const LogChannel& log, std::chrono::milliseconds wait_limit = kRightsWaitLimit);

// The user-rights documents of the main window, in arrival order: one that
// found its project busy waits in ".\Temp" and is tried again by the
// one-second timer; later documents queue behind it. Main window thread only.
class PendingRightsUpdates {
 public:
  static constexpr std::size_t kMaxWaiting = 16;

  // All borrowed and outliving the queue: config (the main window's, whose
  // projects are read anew at every start), clock, log.
  PendingRightsUpdates(const ServerConfig& config, const platform::Clock& clock,
                       const LogChannel& log,
                       std::chrono::milliseconds wait_limit = kRightsWaitLimit);

  // A received document: applied now, or queued behind waiting ones. With
  // kMaxWaiting documents waiting, it is deleted with an Error line.
  void Submit(std::string received_path);
  // Timer: applies waiting documents in order until one is still busy.
  void Retry();
  std::size_t waiting() const { return waiting_.size(); }

 private:
  const ServerConfig& config_;
  const platform::Clock& clock_;
  const LogChannel& log_;
  const std::chrono::milliseconds wait_limit_;
  std::deque<std::string> waiting_;  // received paths, oldest first
};

}  // namespace kestrel::projects
