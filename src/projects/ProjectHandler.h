#pragma once
// CProjectHandler: one per configured project, with one worker thread that
// sleeps until asked, then runs the rights pass alone or a full cycle (rights
// pass and scan). Requests are auto-reset events: requests that arrive while
// one is pending merge into it. When several are pending the thread takes stop
// first, then scan, then rights.
//
// Threads: construction, Start, the requests and Stop run on the main thread;
// the worker thread runs the cycles. Stop joins the thread, so once it returns
// nothing uses the project record any more.
#include <atomic>

#include "config/ConfigModel.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace kestrel {

class LogChannel;

class CProjectHandler {
 public:
  // log: the server's log channel; outlives the handler. project: owned by
  // the configuration, may be null (the handler then never starts); must
  // outlive the handler's thread. shutdown: process-wide flag, outlives the
  // handler; walks give up when it is set. delete_empty_folders: the
  // DeleteEmptyFolders setting, copied into the project record here.
  CProjectHandler(const LogChannel& log, ProjectRecord* project, const std::atomic<bool>& shutdown,
                  bool delete_empty_folders);
  ~CProjectHandler();  // Stop()
  CProjectHandler(const CProjectHandler&) = delete;
  CProjectHandler& operator=(const CProjectHandler&) = delete;

  // Logs the project's set-up and starts the thread. Nothing happens while no
  // logging window exists; a handler without project logs an error. True when
  // the thread runs.
  bool Start();
  void RequestScan() { scan_request_.Set(); }
  void RequestRights() { rights_request_.Set(); }
  // Asks the thread to end and waits until it has (a running cycle finishes
  // first; with the shutdown flag set its walk gives up quickly).
  void Stop();

  ProjectRecord* project() const { return project_; }
  bool running() const { return thread_.Joinable(); }

 private:
  void ThreadMain();
  void LogSetUp() const;

  const LogChannel& log_;
  ProjectRecord* const project_;  // borrowed, see constructor
  const std::atomic<bool>& shutdown_;
  platform::Event stop_request_{platform::Event::Mode::kAutoReset};
  platform::Event scan_request_{platform::Event::Mode::kAutoReset};
  platform::Event rights_request_{platform::Event::Mode::kAutoReset};
  platform::Thread thread_;  // main thread only
};

}  // namespace kestrel
