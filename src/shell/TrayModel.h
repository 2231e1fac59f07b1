#pragma once
// What the main window shows, as data: notification-area state, the three
// statistics lines and the fixed texts. The core draws nothing; a front end
// reads this after the main window reports a change. Main thread only.
#include <string>

namespace kestrel {

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
  std::string line_parallel = "number connections parallel";  // control 1012
};

}  // namespace kestrel
