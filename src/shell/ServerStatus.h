#pragma once
// The server-status part of the TrayModel: the state across starts, stops
// and restarts, where the server listens, the configured projects with the
// time their last scan finished, and the newest Error line.
//
// Threads: ServerStatus runs on the main window thread. LatestLine carries a
// line from the logging thread to the main window thread.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config/ConfigModel.h"
#include "platform/Clock.h"
#include "shell/TrayModel.h"

namespace kestrel {

class ServerStatus {
 public:
  // End of StartServer: running (a start after the first one is a restart),
  // the listen outcome, the projects of config with no scan finished yet.
  void Started(const ServerConfig& config, std::string listen_line, bool listening,
               const platform::LocalTime& now, TrayModel& model);
  // A restart begins: it stops the server first.
  void Restarting(TrayModel& model);
  // A shutdown has stopped the server.
  void Stopped(TrayModel& model);
  // Timer tick: the scans that finished since the last look get now as their
  // time. True when the model changed. config: the one given to Started.
  bool NoteScans(const ServerConfig& config, const platform::LocalTime& now, TrayModel& model);

 private:
  std::vector<std::uint32_t> seen_;  // scans_finished of each project at the last look
};

// The newest line of a kind, carried from one thread to another with at most
// one notification waiting, however many lines come.
class LatestLine {
 public:
  // Producer: keeps line. True when the consumer must be told (nothing waiting).
  bool Put(std::string line);
  // Consumer: the newest line; the next Put tells again.
  std::string Take();

 private:
  std::mutex mu_;
  std::string line_;      // guarded by mu_
  bool waiting_ = false;  // guarded by mu_
};

}  // namespace kestrel
