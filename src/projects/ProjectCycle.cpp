#include "projects/ProjectCycle.h"

#include <cstdint>
#include <vector>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "projects/ProjectWalk.h"
#include "projects/ScanResultDocument.h"
#include "projects/ScanResultFile.h"
#include "projects/UserRights.h"
#include "support/FileNeu.h"

namespace kestrel::projects {

ProjectCycle::ProjectCycle(ProjectRecord& project, const LogChannel& log,
                           const std::atomic<bool>& shutdown)
    : project_(project), log_(log), shutdown_(shutdown) {}

bool ProjectCycle::PrepareRightsPass() {
  if (!project_.user_privileges) return false;
  if (!HasRootRightsFile(project_.rootpath)) {
    if (!context_.root_rights_missing_reported) {
      context_.root_rights_missing_reported = true;
      log_.Logf(kLogWarning, "project '%s' cannot open root XML user right file '~RootRights.xml'",
                project_.projectname.c_str());
    }
    return false;
  }
  context_.root_rights_missing_reported = false;
  return platform::IsFolder(project_.rootpath);
}

void ProjectCycle::RunRightsPass() {
  if (!PrepareRightsPass()) return;
  WalkPlan plan;
  plan.propagate = true;
  plan.rights_writing = &project_.rights_pass_running;
  (void)ProjectWalk(project_, plan, nullptr, nullptr, shutdown_, log_).Run();
}

ScanOutcome ProjectCycle::RunScan() {
  WalkPlan plan;
  plan.propagate = PrepareRightsPass();
  plan.rights_writing = &project_.rights_pass_running;

  // Changes that sessions make from here on are not seen by this walk, so
  // they must lead to another scan.
  project_.changed_by_session.store(false);
  if (!platform::IsFolder(project_.rootpath)) {
    if (!context_.root_missing_reported) {
      context_.root_missing_reported = true;
      log_.Logf(kLogWarning, "project '%s' cannot open root folder", project_.projectname.c_str());
    }
    return ScanOutcome::kRootMissing;
  }
  context_.root_missing_reported = false;

  plan.scan = true;
  plan.delete_empty_folders = project_.delete_empty_folders;
  FolderRightsReader rights(project_, context_.rights_store);
  ScanResultBuilder builder(project_.users.size());
  ProjectWalk walk(project_, plan, &rights, &builder, shutdown_, log_);
  // A truncated walk would list most files as gone.
  if (!walk.Run()) return ScanOutcome::kStopped;
  // The sessions check their requests against what this walk read.
  if (auto access = walk.TakeFolderAccess()) project_.folder_access.Store(std::move(access));
  if (walk.unnamed_count() > 0) {
    // Clients could never address them; the administrator can rename them.
    log_.Logf(kLogWarning,
              "project '%s': %d file or folder names without an 8-bit form left out of the "
              "scan, the first is %s",
              project_.projectname.c_str(), walk.unnamed_count(), walk.first_unnamed().c_str());
  }

  WriteResults(builder);
  return ScanOutcome::kDone;
}

void ProjectCycle::WriteResults(const ScanResultBuilder& builder) {
  const std::size_t user_count = project_.users.size();
  const std::vector<std::uint32_t> twins = builder.Twins();
  // Per twin, the first user of its kind whose file now holds the new
  // document: the others of the kind take that file instead of writing it.
  constexpr std::size_t kNone = SIZE_MAX;
  std::vector<std::size_t> in_place(user_count, kNone);
  std::size_t built = kNone;  // the user whose document document_ holds
  for (std::size_t u = 0; u < user_count; ++u) {
    UserRecord& user = *project_.users[u];
    const std::uint32_t twin = twins[u];
    if (built == kNone || twins[built] != twin) {
      builder.Build(u, document_);
      built = u;
    }
    const std::string path = ScanResultPath(project_.projectname, user.username);
    const std::string same_file =
        in_place[twin] == kNone
            ? std::string()
            : ScanResultPath(project_.projectname, project_.users[in_place[twin]]->username);
    const ResultReplacement replaced =
        ReplaceScanResult(user, path, document_, previous_, same_file);
    if (replaced == ResultReplacement::kWriteFailed) {
      // The previous result stays, and with it the user's changed flag.
      log_.Logf(kLogError, "project '%s': scan result for user %s could not be written, %s kept",
                project_.projectname.c_str(), user.username.c_str(), path.c_str());
      continue;
    }
    if (in_place[twin] == kNone) in_place[twin] = u;
    const bool changed = replaced == ResultReplacement::kChanged;
    user.scan_result_changed.store(changed);
    if (changed) {
      log_.Logf(kLogInfo, "project '%s': change detected for user %s", project_.projectname.c_str(),
                user.username.c_str());
    }
  }
  // A large project's documents need not stay in memory between cycles.
  if (document_.capacity() > (1u << 20)) std::string().swap(document_);
  if (previous_.capacity() > (1u << 20)) std::string().swap(previous_);
}

}  // namespace kestrel::projects
