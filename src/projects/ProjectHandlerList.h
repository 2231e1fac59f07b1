#pragma once
// The project handlers of a running server, in configuration order: started
// when the logging window is ready, woken by the main window's timer and by
// logouts after changes, stopped and destroyed when the server stops. Main
// thread only.
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigModel.h"
#include "platform/MessageLoop.h"
#include "projects/ProjectHandler.h"

namespace kestrel {

class LogChannel;

// Record of WM_SCAN_PROJECT, posted by a session at logout after it changed
// its project: scan that project now. The project record outlives the
// message (records are released only after every slot thread has ended);
// the receiver only compares it with its handlers' projects.
struct ScanProjectRecord final : platform::MessageRecord {
  explicit ScanProjectRecord(const ProjectRecord* p) : project(p) {}
  const ProjectRecord* project;
};

class ProjectHandlerList {
 public:
  // log and shutdown: the main window's; outlive the list.
  ProjectHandlerList(const LogChannel& log, const std::atomic<bool>& shutdown);
  // Stops any handler still running; releases no records.
  ~ProjectHandlerList();
  ProjectHandlerList(const ProjectHandlerList&) = delete;
  ProjectHandlerList& operator=(const ProjectHandlerList&) = delete;

  // One started handler per project of config (logged in list order), then a
  // rights pass and a scan requested from each. With no project: "No projects
  // available!" at Error. config must outlive the handlers (until DestroyAll).
  // Refused (false, nothing happens) while handlers of an earlier start are
  // still in the list: one project never gets two handlers.
  bool StartAll(ServerConfig& config);
  // The main window's timer.
  void RequestRightsAll();
  void RequestScanAll();
  // WM_SCAN_PROJECT: a scan from every handler serving project. Returns how
  // many handlers were asked (0 when none serves it).
  int RequestScanFor(const ProjectRecord* project);
  // Stops every handler (joining its thread), removes the transfer files of
  // its project's users, releases its project record, then empties the list
  // and config's project list.
  void DestroyAll(ServerConfig& config);

  std::size_t size() const { return handlers_.size(); }
  bool empty() const { return handlers_.empty(); }
  CProjectHandler& at(std::size_t i) { return *handlers_[i]; }

 private:
  const LogChannel& log_;
  const std::atomic<bool>& shutdown_;
  std::vector<std::unique_ptr<CProjectHandler>> handlers_;
};

// Deletes every connection's staging file (".\Temp\transfer_<slot>.dat") and
// every user's transfer archives of all slots; missing files are skipped,
// failures are silent.
void RemoveTransferFiles(const ProjectRecord& project);

}  // namespace kestrel
