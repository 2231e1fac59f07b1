#pragma once
// What the main window shows, as data: notification-area state, the three
// statistics lines, the server's status (its state across restarts, where it
// listens, its projects with their last scans, the last Error line) and the
// fixed texts. The core draws nothing; a front end reads this after the main
// window reports a change. Main thread only.
#include <string>
#include <vector>

namespace kestrel {

enum class ServerState {
  kStopped,     // before the first start and after a shutdown
  kRunning,     // between StartServer and StopServer
  kRestarting,  // "Restart Server" or a configuration upload: stopping, then starting
};

// One configured project as the main window lists it.
struct ProjectStatus {
  std::string name;       // Projectname (8-bit text)
  int users = 0;          // configured users
  std::string last_scan;  // when its last scan finished, or why there is none
};

struct TrayModel {
  static constexpr const char* kTitle = "Kestrel - Server";
  static constexpr const char* kTooltip = "Kestrel - Server";
  static constexpr const char* kAboutTitle = "About KestrelServer";
  static constexpr const char* kAboutText = "Kestrel - Server, Version 1.0";
  static constexpr const char* kAboutMenuItem = "&About KestrelServer...";
  static constexpr const char* kGroupTitle = "Network connection status";

  bool minimise_to_tray = true;
  bool in_tray = false;                                       // the notification-area icon is shown
  bool window_visible = true;                                 // the main window is shown
  std::string line_current = "number connections";            // control 1010
  std::string line_today = "number connections today";        // control 1011
  std::string line_parallel = "number parallel connections";  // control 1012

  ServerState state = ServerState::kStopped;
  int starts = 0;                          // StartServer runs since the window was made
  std::string state_line = "not started";  // the state in words, with the time of the last start
  bool listening = false;
  std::string listen_line = "not listening";  // "listening on ADDR:PORT", or why not
  std::vector<ProjectStatus> projects;        // configuration order
  std::string last_error;                     // the last Error line shown; empty: none yet
};

}  // namespace kestrel
