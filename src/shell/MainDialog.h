#pragma once
// CMainDialog: the core's main window. It owns all server state (configuration
// and its XML store, logging thread, listener, the 250 connection slots, the
// project handlers, statistics) and runs on the main thread's message loop.
// The start and stop sequences and the one-second timer live here; the work
// itself is done by the parts it holds. Front ends send it commands and read
// its TrayModel; the core draws nothing.
//
// Threads: every member function runs on the main thread (the loop's owner)
// unless it says otherwise. Other threads reach the window only through
// messages posted or sent to its loop.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "logging/LoggingThread.h"
#include "net/AuthPenalties.h"
#include "net/ConnectionSlots.h"
#include "net/Listener.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "projects/ProjectHandlerList.h"
#include "projects/RightsUpdate.h"
#include "shell/ServerStatus.h"
#include "shell/StartNotes.h"
#include "shell/Statistics.h"
#include "shell/TickCounters.h"
#include "shell/TrayModel.h"
#include "support/XmlStore.h"

namespace kestrel {

// What a front end (or a test) plugs into the main window.
struct MainDialogHooks {
  // Logging thread: every line the logging window shows.
  CLoggingDialog::LineObserver on_log_line;
  // Main thread: the TrayModel changed.
  std::function<void()> on_state_changed;
  // Builds one session handler per slot thread (default: the real one, with
  // the settings of each start).
  SessionFactory session_factory;
  // Listens on this port instead of TCPIPListenPort when set (tests).
  int port_override = -1;
};

class CMainDialog {
 public:
  static constexpr std::uint32_t kTimerId = 1;
  static constexpr const char* kShutdownQuestion = "Do you really want to shutdown the server?";

  using Hooks = MainDialogHooks;

  // loop and clock: borrowed, must outlive the window. The window installs
  // its handler on the loop.
  CMainDialog(platform::MessageLoop& loop, platform::Clock& clock, Hooks hooks = Hooks());
  ~CMainDialog();  // stops a running server
  CMainDialog(const CMainDialog&) = delete;
  CMainDialog& operator=(const CMainDialog&) = delete;

  // Main-window initialisation: goes to the notification area, StartServer.
  void OnInitDialog();

  // The start and stop sequences. OnLogReady is the WM_LOG_READY handler:
  // it starts the slots and project handlers once per start, and only for
  // the logging window of the current start (ready_tag = that start's
  // number), so a late report of a window from before a restart starts
  // nothing.
  void StartServer();
  void OnLogReady(std::intptr_t ready_tag);
  void StopServer();
  // "Restart Server".
  void Restart();
  // "Shutdown Server" and the close box: asks, then stops and ends the loop.
  // Returns true when the server was shut down.
  bool Shutdown();

  // The window procedure.
  std::intptr_t HandleMessage(platform::Message& message);

  // State for front ends and tests.
  const TrayModel& tray() const { return tray_; }
  const Statistics& statistics() const { return stats_; }
  const ServerConfig& config() const { return config_; }
  bool listening() const { return listener_.listening(); }
  std::uint16_t listening_port() const { return listener_.LocalPort(); }
  bool slots_running() const { return slots_.running(); }
  const ConnectionSlots& slots() const { return slots_; }
  LoggingThread& logging() { return logging_; }
  const LogChannel& log() const { return log_; }

 private:
  void OnTimer();
  void OnNewConnection(platform::Message& message);
  void OnConnectionGone();
  void OnScanProject(const ProjectRecord* project);
  void OnRemotePassword(platform::Message& message);
  void OnUserPassword(platform::Message& message);
  void OnRemoteDocument(platform::Message& message);
  void OnSysCommand(std::intptr_t command);
  void OnTrayNotify(std::intptr_t icon_id, std::intptr_t mouse_message);
  void CreateWorkingFolders();
  void RunObsoleteFolderCleanup();
  void ShowStatistics();
  void StateChanged();
  // Logging thread: one line the logging window shows.
  void OnLogLine(const std::string& line, int level);
  // The listen outcome of StartServer, for the status line.
  std::string ListenLine(const ServerSettings& settings, bool attempted, int port) const;

  platform::MessageLoop& loop_;
  platform::Clock& clock_;
  Hooks hooks_;

  // Configuration: written by this thread only (reader at start, passwords).
  ServerConfig config_;
  CXmlStore config_store_;

  // Process-wide stop signals: the shutdown flag (walks and archive building
  // give up) and the stop event (every slot thread ends). The event exists
  // from WM_LOG_READY to StopServer.
  std::atomic<bool> shutdown_{false};
  std::unique_ptr<platform::Event> stop_event_;

  LogChannel log_;
  LoggingThread logging_;
  // Failed authentication per source; kept across restarts, so a restart
  // does not lift a penalty. Used by the slot threads (thread-safe).
  AuthPenalties auth_penalties_{clock_};
  Listener listener_;
  ConnectionSlots slots_;
  ProjectHandlerList handlers_;
  projects::PendingRightsUpdates rights_updates_;  // kept across restarts
  bool running_ = false;                           // between StartServer and StopServer
  StartNotes start_notes_;                         // found by StartServer, logged at WM_LOG_READY
  // Number of the current start, carried by its logging window's WM_LOG_READY.
  std::intptr_t start_number_ = 0;
  bool log_ready_handled_ = false;  // the current start's WM_LOG_READY was handled

  Statistics stats_;
  TickCounters ticks_;
  DayWatch day_;
  ServerStatus status_;
  LatestLine error_line_;  // logging thread puts, main thread takes (WM_ERROR_LINE)
  TrayModel tray_;
};

}  // namespace kestrel
