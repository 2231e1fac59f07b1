#include "projects/ProjectHandlerList.h"

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "support/FileNeu.h"
#include "support/ServerFiles.h"

namespace kestrel {

ProjectHandlerList::ProjectHandlerList(const LogChannel& log, const std::atomic<bool>& shutdown)
    : log_(log), shutdown_(shutdown) {}

ProjectHandlerList::~ProjectHandlerList() {
  for (std::unique_ptr<CProjectHandler>& handler : handlers_) handler->Stop();
}

bool ProjectHandlerList::StartAll(ServerConfig& config) {
  if (!handlers_.empty()) return false;
  if (config.project_count() <= 0) {
    log_.Log(kLogError, "No projects available!");
    return true;
  }
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    handlers_.push_back(std::make_unique<CProjectHandler>(log_, project.get(), shutdown_,
                                                          config.settings.delete_empty_folders));
    handlers_.back()->Start();
  }
  RequestRightsAll();
  RequestScanAll();
  return true;
}

void ProjectHandlerList::RequestRightsAll() {
  for (std::unique_ptr<CProjectHandler>& handler : handlers_) handler->RequestRights();
}

void ProjectHandlerList::RequestScanAll() {
  for (std::unique_ptr<CProjectHandler>& handler : handlers_) handler->RequestScan();
}

int ProjectHandlerList::RequestScanFor(const ProjectRecord* project) {
  int asked = 0;
  for (std::unique_ptr<CProjectHandler>& handler : handlers_) {
    if (project == nullptr || handler->project() != project) continue;
    handler->RequestScan();
    ++asked;
  }
  return asked;
}

void ProjectHandlerList::DestroyAll(ServerConfig& config) {
  for (std::unique_ptr<CProjectHandler>& handler : handlers_) {
    handler->Stop();
    ProjectRecord* project = handler->project();
    if (project != nullptr) {
      RemoveTransferFiles(*project);
      const std::string name = project->projectname;
      for (std::unique_ptr<ProjectRecord>& owned : config.projects) {
        if (owned.get() == project) owned.reset();
      }
      log_.Logf(kLogInfo, "project '%s' destroyed", name.c_str());
    }
    handler.reset();
  }
  handlers_.clear();
  config.projects.clear();
}

void RemoveTransferFiles(const ProjectRecord& project) {
  for (int slot = 0; slot < kTransferSlotCount; ++slot) {
    platform::RemoveIfExists(StagingFilePath(slot));
  }
  for (const std::unique_ptr<UserRecord>& user : project.users) {
    for (int slot = 0; slot < kTransferSlotCount; ++slot) {
      platform::RemoveIfExists(ClientArchivePath(project.projectname, user->username, slot));
    }
  }
}

}  // namespace kestrel
