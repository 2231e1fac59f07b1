#include "shell/MainDialog.h"

#include <utility>

#include "config/ConfigReader.h"
#include "config/ConfigUpdate.h"
#include "config/PasswordStore.h"
#include "platform/MessageBox.h"
#include "projects/ObsoleteFolders.h"
#include "projects/UserRights.h"
#include "session/SessionHandler.h"
#include "shell/ConnectionsLog.h"
#include "support/FileNeu.h"
#include "support/ServerFiles.h"
#include "support/WindowMessages.h"

namespace kestrel {

CMainDialog::CMainDialog(platform::MessageLoop& loop, platform::Clock& clock, Hooks hooks)
    : loop_(loop),
      clock_(clock),
      hooks_(std::move(hooks)),
      handlers_(log_, shutdown_),
      rights_updates_(config_, clock_, log_) {
  loop_.SetHandler([this](platform::Message& m) { return HandleMessage(m); });
}

CMainDialog::~CMainDialog() {
  if (running_) StopServer();
}

void CMainDialog::OnInitDialog() {
  // The server starts hidden: the minimise puts the window into the
  // notification area as soon as the loop runs.
  loop_.Post(WM_SYSCOMMAND, SC_MINIMIZE);
  StartServer();
}

void CMainDialog::CreateWorkingFolders() {
  for (const char* folder : kWorkingFolders) {
    if (!platform::Exists(folder)) (void)platform::CreateFolder(folder);
  }
}

void CMainDialog::StartServer() {
  shutdown_.store(false);
  CreateWorkingFolders();
  // Leftovers of a crash or an earlier run; nothing uses Temp yet.
  RemoveServerTempFiles();
  ReadReport read;
  ReadConfiguration(config_store_, config_, kConfigFilePath, &read);
  start_notes_.Clear();
  for (std::string& error : read.errors) start_notes_.Add(kLogError, std::move(error));
  const ServerSettings& settings = config_.settings;
  if (!settings.customer_installation) projects::PrepareRootFolders(config_, config_store_);
  RunObsoleteFolderCleanup();

  ++start_number_;
  log_ready_handled_ = false;
  logging_.Start(
      loop_, settings.log_level, log_, clock_,
      [this](const std::string& line, int level) { OnLogLine(line, level); }, start_number_);

  const bool overridden = hooks_.port_override >= 0;
  int port = overridden ? hooks_.port_override : settings.tcpip_listen_port;
  // Error boxes stay on until the listen succeeds; the listener turns them off.
  listener_.set_show_errors(true);
  const bool attempted = overridden || !read.listen_refused;
  const bool listening = attempted && listener_.Listen(&loop_, static_cast<std::uint16_t>(port),
                                                       settings.tcpip_listen_address);
  std::string listen_line = ListenLine(settings, attempted, port);
  if (listening) start_notes_.Add(kLogInfo, listen_line);
  status_.Started(config_, std::move(listen_line), listening, clock_.Local(), tray_);

  stats_.Reset();
  ShowStatistics();
  loop_.SetTimer(kTimerId, std::chrono::milliseconds(1000));
  ticks_.Reset();
  day_.Remember(clock_.Local().day);
  running_ = true;
}

void CMainDialog::OnLogReady(std::intptr_t ready_tag) {
  if (!running_ || ready_tag != start_number_ || log_ready_handled_) return;
  log_ready_handled_ = true;
  start_notes_.Flush(log_);
  if (listener_.listening() && !slots_.running()) {
    stop_event_ = std::make_unique<platform::Event>(platform::Event::Mode::kManualReset);
    SlotEnvironment environment;
    environment.main_window = &loop_;
    environment.log = &log_;
    environment.clock = &clock_;
    environment.limits.login_grace_seconds = config_.settings.login_grace_seconds;
    environment.limits.max_startups_per_source = config_.settings.max_startups_per_source;
    environment.limits.max_startups = config_.settings.max_startups;
    // The sessions' copies of the configuration are taken here, once per start.
    SessionFactory factory = hooks_.session_factory;
    if (!factory)
      factory = MakeSessionFactory(
          MakeSessionContext(config_, loop_, log_, clock_, shutdown_, auth_penalties_));
    slots_.StartAll(environment, stop_event_.get(), std::move(factory));
  }
  handlers_.StartAll(config_);
}

void CMainDialog::StopServer() {
  if (!running_) return;
  shutdown_.store(true);
  loop_.KillTimer(kTimerId);
  listener_.Close();
  // Signals the stop event, gives the slot threads their grace period to
  // finish a packet, joins every one of them and only then releases the
  // connections still held by slots.
  slots_.StopAll();
  stop_event_.reset();
  handlers_.DestroyAll(config_);
  if (log_.HasWindow()) log_.Log(kLogWarning, "Server application terminated");
  logging_.Close();
  running_ = false;
}

void CMainDialog::Restart() {
  status_.Restarting(tray_);
  StateChanged();
  StopServer();
  StartServer();
}

bool CMainDialog::Shutdown() {
  if (!platform::MessageBoxes().Ask(kShutdownQuestion)) return false;
  StopServer();
  status_.Stopped(tray_);
  StateChanged();
  loop_.Quit(0);
  return true;
}

void CMainDialog::RunObsoleteFolderCleanup() {
  projects::CleanUpObsoleteFolders(config_, clock_, log_);
}

std::intptr_t CMainDialog::HandleMessage(platform::Message& message) {
  switch (message.id) {
    case WM_TIMER:
      if (message.wparam == kTimerId) OnTimer();
      return 0;
    case WM_LOG_READY:
      OnLogReady(message.wparam);
      return 0;
    case WM_SOCKET_NEW_CONNECTION:
      OnNewConnection(message);
      return 0;
    case WM_CLIENT_CLOSED:
    case WM_THREAD_TERMINATED:
      OnConnectionGone();
      return 0;
    case WM_SCAN_PROJECT:
      if (auto record = message.Take<ScanProjectRecord>()) OnScanProject(record->project);
      return 0;
    case WM_REMOTE_PASSWORD:
      OnRemotePassword(message);
      return 0;
    case WM_USER_PASSWORD:
      OnUserPassword(message);
      return 0;
    case WM_REMOTE_DOCUMENT:
      OnRemoteDocument(message);
      return 0;
    case WM_ERROR_LINE:
      tray_.last_error = error_line_.Take();
      StateChanged();
      return 0;
    case WM_SYSCOMMAND:
      OnSysCommand(message.wparam);
      return 0;
    case WM_TRAY_NOTIFY:
      OnTrayNotify(message.wparam, message.lparam);
      return 0;
    case WM_CLOSE:
      Shutdown();
      return 0;
    case WM_COMMAND:
      switch (message.wparam) {
        case ID_SHOW_LOGGING:
          logging_.Show();
          break;
        case ID_RESTART_SERVER:
          Restart();
          break;
        case ID_SHUTDOWN_SERVER:
          Shutdown();
          break;
        default:
          break;
      }
      return 0;
    default:
      return 0;
  }
}

void CMainDialog::OnSysCommand(std::intptr_t command) {
  if (command == SC_MINIMIZE && tray_.minimise_to_tray && !tray_.in_tray) {
    tray_.in_tray = true;
    tray_.window_visible = false;
    StateChanged();
  }
}

// Icon 1 only: a left double-click brings the window back from the
// notification area; the menu and the other mouse events are the front end's.
void CMainDialog::OnTrayNotify(std::intptr_t icon_id, std::intptr_t mouse_message) {
  if (icon_id != kTrayIconId || mouse_message != WM_LBUTTONDBLCLK || !tray_.in_tray) return;
  tray_.in_tray = false;
  tray_.window_visible = true;
  StateChanged();
}

// The one-second timer, each tick in this order:
//  1. read the local date and time;
//  2. wake the user-rights pass of every project every ScanIntervallUserrights minutes;
//  3. wake the scan of every project every ScanIntervallProjects minutes;
//  4. on a new day: connections log line, today's counters, obsolete folders;
//  5. start a new thread for every connection slot whose thread ended;
//  6. the connection watchdog;
//  7. user-rights documents that found their project busy are tried again.
void CMainDialog::OnTimer() {
  platform::LocalTime now = clock_.Local();
  TickCounters::Due due = ticks_.Tick(config_.settings.scan_intervall_userrights,
                                      config_.settings.scan_intervall_projects);
  if (due.rights) handlers_.RequestRightsAll();
  if (due.scan) handlers_.RequestScanAll();
  if (day_.Changed(now.day)) {
    AppendConnectionsLog(now, stats_.today(), stats_.parallel_today());
    stats_.OnDayChange();
    ShowStatistics();
    RunObsoleteFolderCleanup();
  }
  // Slot threads are restarted only while a live stop event exists, so every
  // slot thread waits on one.
  if (slots_.running() && stop_event_ && !shutdown_.load()) {
    slots_.RestartEnded();
    slots_.Watchdog();
  }
  rights_updates_.Retry();
  if (status_.NoteScans(config_, now, tray_)) StateChanged();
}

void CMainDialog::OnNewConnection(platform::Message& message) {
  auto record = message.Take<NewConnectionRecord>();
  if (!record || !record->connection) return;
  if (slots_.HandOff(std::move(record->connection)) < 0) return;
  stats_.OnHandOff();
  ShowStatistics();
}

void CMainDialog::OnConnectionGone() {
  stats_.OnConnectionGone();
  ShowStatistics();
}

void CMainDialog::OnScanProject(const ProjectRecord* project) {
  if (config_.project_count() > 0) handlers_.RequestScanFor(project);
}

void CMainDialog::OnRemotePassword(platform::Message& message) {
  auto record = message.Take<RemotePasswordRecord>();
  if (!record) return;
  // Running sessions read the digest from the settings.
  StoreRemotePassword(config_store_, config_.settings, record->password);
}

void CMainDialog::OnUserPassword(platform::Message& message) {
  auto record = message.Take<UserPasswordRecord>();
  if (!record) return;
  StoreUserPassword(config_store_, config_, *record);
}

// A document from the remote administration tool: a server configuration is
// merged into the configuration file and the server restarts on it; a
// user-rights document rewrites the rights files of its project.
void CMainDialog::OnRemoteDocument(platform::Message& message) {
  auto record = message.Take<RemoteDocumentRecord>();
  if (!record) return;
  const RemoteDocumentKinds kinds = ClassifyRemoteDocument(record->path);
  if (kinds.server_configuration &&
      UpdateConfiguration(record->path, config_store_, clock_, log_)) {
    Restart();
  }
  if (kinds.user_rights) rights_updates_.Submit(record->path);
}

void CMainDialog::ShowStatistics() {
  tray_.line_current = stats_.line_current();
  tray_.line_today = stats_.line_today();
  tray_.line_parallel = stats_.line_parallel();
  StateChanged();
}

void CMainDialog::StateChanged() {
  if (hooks_.on_state_changed) hooks_.on_state_changed();
}

void CMainDialog::OnLogLine(const std::string& line, int level) {
  if (hooks_.on_log_line) hooks_.on_log_line(line, level);
  // The loop outlives the logging thread, which StopServer joins.
  if (level == kLogError && error_line_.Put(line)) loop_.Post(WM_ERROR_LINE);
}

std::string CMainDialog::ListenLine(const ServerSettings& settings, bool attempted,
                                    int port) const {
  const std::string& address = settings.tcpip_listen_address;
  if (listener_.listening()) {
    return "listening on " + ListenEndpointText(address, listener_.LocalPort());
  }
  if (!attempted) return "not listening: the configured address or port is refused";
  return "not listening: " + ListenFailureText(listener_.last_error(), address, port);
}

}  // namespace kestrel
