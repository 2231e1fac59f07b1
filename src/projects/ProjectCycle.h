#pragma once
// The work a project handler thread does when woken: the rights pass alone, or
// a full cycle of rights pass and scan. A full cycle walks the tree once: the
// rights files are brought up to date folder by folder just before the scan
// reads them, and every user's scan result is derived from that one walk.
// Handler thread only; owns the thread's scan context.
#include <atomic>
#include <string>

#include "config/ConfigModel.h"
#include "projects/ScanContext.h"

namespace kestrel {
class LogChannel;
}

namespace kestrel::projects {

enum class ScanOutcome {
  kDone,         // every user's scan result is up to date
  kRootMissing,  // the project's root folder does not exist
  kStopped,      // the shutdown flag stopped the walk: no result was replaced
};

class ProjectCycle {
 public:
  // project: owned by the configuration, outlives the handler thread. log and
  // shutdown: the server's, outlive the thread.
  ProjectCycle(ProjectRecord& project, const LogChannel& log, const std::atomic<bool>& shutdown);

  // Rights request: gives new folders their rights files.
  void RunRightsPass();
  // Scan request: rights pass, then one scan-result file per user. Only a
  // walk that saw the whole tree replaces results; a stopped one changes no
  // result and no changed flag.
  ScanOutcome RunScan();

  const ScanContext& context() const { return context_; }

 private:
  // The checks at the start of a rights pass; true when rights files are to
  // be propagated during the walk.
  bool PrepareRightsPass();
  void WriteResults(const class ScanResultBuilder& builder);

  ProjectRecord& project_;
  const LogChannel& log_;
  const std::atomic<bool>& shutdown_;
  ScanContext context_;
  std::string document_;  // reused for every user's document
  std::string previous_;  // reused for every user's current file before the scan
};

}  // namespace kestrel::projects
