#include "projects/ProjectHandler.h"

#include <string>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "projects/ProjectCycle.h"

namespace kestrel {
namespace {

// Names joined by ", ".
std::string JoinGroups(const std::vector<GroupNode>& groups) {
  std::string joined;
  for (const GroupNode& group : groups) {
    if (!joined.empty()) joined += ", ";
    joined += group.name;
  }
  return joined;
}

}  // namespace

CProjectHandler::CProjectHandler(const LogChannel& log, ProjectRecord* project,
                                 const std::atomic<bool>& shutdown, bool delete_empty_folders)
    : log_(log), project_(project), shutdown_(shutdown) {
  stop_request_.Reset();
  scan_request_.Reset();
  rights_request_.Reset();
  if (project_ != nullptr) {
    project_->delete_empty_folders = delete_empty_folders;
    project_->rights_pass_running.Clear();
  }
}

CProjectHandler::~CProjectHandler() {
  Stop();
}

void CProjectHandler::LogSetUp() const {
  const ProjectRecord& p = *project_;
  log_.Logf(kLogInfo, "Starting project '%s'; Rootpath: %s", p.projectname.c_str(),
            p.rootpath.c_str());
  log_.Logf(kLogInfo, "\tGroups: %s", JoinGroups(p.groups).c_str());
  for (const std::unique_ptr<UserRecord>& user : p.users) {
    log_.Logf(kLogInfo, "\tUser: %s, Nick: %s, Email:%s", user->realname.c_str(),
              user->username.c_str(), user->useremail.c_str());
    log_.Logf(kLogInfo, "\t\tUser belongs to groups: %s", JoinGroups(user->groups).c_str());
  }
}

bool CProjectHandler::Start() {
  if (thread_.Joinable() || !log_.HasWindow()) return false;
  if (project_ == nullptr) {
    log_.Log(kLogError, "Project data is not available, Handler cannot start!");
    return false;
  }
  LogSetUp();
  return thread_.Start([this] { ThreadMain(); });
}

void CProjectHandler::Stop() {
  if (!thread_.Joinable()) return;
  stop_request_.Set();
  thread_.Join();
}

void CProjectHandler::ThreadMain() {
  ProjectRecord& project = *project_;
  const char* name = project.projectname.c_str();
  log_.Logf(kLogInfo, "Project thread starting project '%s'", name);
  projects::ProjectCycle cycle(project, log_, shutdown_);
  for (;;) {
    int which = platform::WaitForAny({&stop_request_, &scan_request_, &rights_request_});
    if (which == 0) break;
    if (which == 1) {
      log_.Logf(kLogInfo, "project '%s' starts scanning project", name);
      const projects::ScanOutcome outcome = cycle.RunScan();
      if (outcome != projects::ScanOutcome::kStopped) {
        project.root_missing.store(outcome == projects::ScanOutcome::kRootMissing);
        project.scans_finished.fetch_add(1);
      }
      switch (outcome) {
        case projects::ScanOutcome::kDone:
          log_.Logf(kLogInfo, "project '%s' scan successful", name);
          break;
        case projects::ScanOutcome::kRootMissing:
          log_.Logf(kLogWarning, "project '%s' scan failed!", name);
          break;
        case projects::ScanOutcome::kStopped:
          log_.Logf(kLogInfo, "project '%s' scan stopped by the shutdown, results kept", name);
          break;
      }
    } else if (which == 2) {
      log_.Logf(kLogInfo, "project '%s' scanning user rights", name);
      cycle.RunRightsPass();
    }
  }
  log_.Logf(kLogInfo, "Project thread terminating at project '%s'", name);
}

}  // namespace kestrel
