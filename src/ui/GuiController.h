#pragma once
// Wires the Qt windows to the server core: runs the core on its own thread
// (CoreHost), shows its state in the main window, the tray icon and the
// logging window, turns clicks into window messages for the core and shows
// the core's message boxes. The core never waits for anything here except an
// answer to a message box; this side never waits for the core while the
// event loop runs.
//
// GUI thread only, except where a member says otherwise.
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Clock.h"
#include "shell/TrayModel.h"
#include "ui/CoreHost.h"

namespace kestrel::ui {

class AboutBox;
class LoggingWindow;
class MainWindow;
class QtMessageBoxSink;
class TrayIcon;

struct GuiOptions {
  int port_override = -1;   // >= 0: listen there instead of the configured port
  int state_poll_ms = 200;  // how often the logging window and the tray are checked
};

class GuiController final : public QObject {
  Q_OBJECT

 public:
  // clock: borrowed, must outlive this object.
  explicit GuiController(platform::Clock& clock, GuiOptions options = {});
  ~GuiController() override;  // Finish()

  // Installs the message boxes and starts the core. False when the core thread cannot start.
  bool Start();

  // A main window command (ID_SHOW_LOGGING, ID_RESTART_SERVER, ID_SHUTDOWN_SERVER).
  void Command(std::uint32_t command);
  // The main window's close box: the core asks whether to shut down.
  void RequestClose();
  // The user minimised the main window.
  void OnMinimise();
  // A double click on the tray icon, or its "Open".
  void OnTrayRestore();
  void ShowAbout();

  // After the event loop has returned: stops the core without asking if it
  // still runs, answers boxes still pending, waits for the core thread and
  // removes the message boxes. Returns the core's exit code.
  int Finish();

  MainWindow* main_window() const { return main_window_.get(); }
  LoggingWindow* logging_window() const { return logging_window_.get(); }
  TrayIcon* tray_icon() const { return tray_.get(); }
  bool in_tray() const { return in_tray_; }
  bool core_finished() const { return core_.finished(); }
  CoreHost& core() { return core_; }

 Q_SIGNALS:
  // The core has shut down (the shutdown question was answered yes); the
  // application should leave its event loop with this code.
  void finished(int code);

 private:
  void OnCoreState(const TrayModel& model);
  void OnCoreFinished(int code);
  void SyncLogging(bool restore);
  void GoToTray();
  void LeaveTray();
  // Any thread: schedules one SyncLogging on the GUI thread.
  void ScheduleLogSync();

  GuiOptions options_;
  std::unique_ptr<QtMessageBoxSink> boxes_;
  std::unique_ptr<MainWindow> main_window_;
  std::unique_ptr<LoggingWindow> logging_window_;
  std::unique_ptr<TrayIcon> tray_;
  QPointer<AboutBox> about_;  // open about box, owned by the main window
  QTimer state_poll_;
  // The server's state as the core last reported it.
  ServerState shown_state_ = ServerState::kStopped;
  std::atomic<bool> log_sync_pending_{false};  // any thread sets; GUI thread clears
  bool show_logging_requested_ = false;        // "Show logging" chosen, not yet shown
  bool core_in_tray_ = false;                  // in_tray as the core last reported it
  bool in_tray_ = false;                       // the window is hidden and the icon shown
  bool finished_ = false;                      // Finish has run
  CoreHost core_;                              // last member: its thread ends before the rest goes
};

}  // namespace kestrel::ui
