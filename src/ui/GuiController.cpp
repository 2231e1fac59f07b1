#include "ui/GuiController.h"

#include <QCoreApplication>
#include <QThread>

#include "support/WindowMessages.h"
#include "ui/AboutBox.h"
#include "ui/LoggingWindow.h"
#include "ui/MainWindow.h"
#include "ui/QtMessageBoxSink.h"
#include "ui/ServerMenu.h"
#include "ui/TrayIcon.h"

namespace kestrel::ui {

namespace {
// The tray notification a left double click on icon 1 sends.
}  // namespace

GuiController::GuiController(platform::Clock& clock, GuiOptions options)
    : options_(options),
      boxes_(std::make_unique<QtMessageBoxSink>()),
      main_window_(std::make_unique<MainWindow>()),
      logging_window_(std::make_unique<LoggingWindow>()),
      tray_(std::make_unique<TrayIcon>()),
      core_(clock,
            CoreCallbacks{[this](const TrayModel& model) {
                            QMetaObject::invokeMethod(
                                this, [this, model] { OnCoreState(model); }, Qt::QueuedConnection);
                          },
                          [this] { ScheduleLogSync(); },
                          [this](int code) {
                            QMetaObject::invokeMethod(
                                this, [this, code] { OnCoreFinished(code); }, Qt::QueuedConnection);
                          }},
            options.port_override) {
  connect(main_window_.get(), &MainWindow::commandRequested, this, &GuiController::Command);
  connect(main_window_.get(), &MainWindow::aboutRequested, this, &GuiController::ShowAbout);
  connect(main_window_.get(), &MainWindow::closeRequested, this, &GuiController::RequestClose);
  // Hiding a window from inside its own state change is left until the change is done.
  connect(main_window_.get(), &MainWindow::minimiseRequested, this, &GuiController::OnMinimise,
          Qt::QueuedConnection);
  connect(tray_.get(), &TrayIcon::commandRequested, this, &GuiController::Command);
  connect(tray_.get(), &TrayIcon::restoreRequested, this, &GuiController::OnTrayRestore);
  connect(tray_.get(), &TrayIcon::aboutRequested, this, &GuiController::ShowAbout);
  connect(&state_poll_, &QTimer::timeout, this, [this] {
    SyncLogging(false);
    // A notification area that went away must not take the window with it.
    if (in_tray_ && !TrayIcon::Available()) LeaveTray();
  });
}

GuiController::~GuiController() {
  Finish();
}

bool GuiController::Start() {
  platform::SetMessageBoxes(boxes_.get());
  if (!core_.Start()) {
    platform::SetMessageBoxes(nullptr);
    return false;
  }
  // The server starts hidden in the notification area; without one the
  // window stays in view, as when adding the icon fails.
  if (TrayIcon::Available()) {
    tray_->SetShown(true);
    in_tray_ = true;
  } else {
    main_window_->show();
  }
  state_poll_.start(options_.state_poll_ms);
  return true;
}

void GuiController::Command(std::uint32_t command) {
  if (command == ID_SHOW_LOGGING) show_logging_requested_ = true;
  core_.PostCommand(command);
}

void GuiController::RequestClose() {
  core_.Post(WM_CLOSE);
}

void GuiController::OnMinimise() {
  if (!main_window_->isMinimized()) return;  // restored again before we got here
  core_.Post(WM_SYSCOMMAND, SC_MINIMIZE);
  if (TrayIcon::Available() && !in_tray_) GoToTray();
}

void GuiController::OnTrayRestore() {
  core_.Post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
  LeaveTray();  // "Open" on a window already shown brings it to the front
}

void GuiController::ShowAbout() {
  if (about_ == nullptr) {
    about_ = new AboutBox(main_window_.get());
    about_->setAttribute(Qt::WA_DeleteOnClose);
    about_->setModal(true);
  }
  about_->show();
  about_->raise();
  about_->activateWindow();
}

void GuiController::OnCoreState(const TrayModel& model) {
  main_window_->ShowLines(model);
  main_window_->ShowStatus(model);
  EnableCommand(tray_->menu(), ID_RESTART_SERVER, model.state != ServerState::kRestarting);
  // Hidden in the notification area, the window cannot show that a restart is done.
  if (shown_state_ == ServerState::kRestarting && model.state == ServerState::kRunning) {
    tray_->Notify(FromSystemText("Server " + model.state_line + "\n" + model.listen_line));
  }
  shown_state_ = model.state;
  // The window follows the core's tray state when it changes; between
  // changes, double clicks and minimising are handled here at once.
  if (model.in_tray == core_in_tray_) return;
  core_in_tray_ = model.in_tray;
  if (model.in_tray) {
    GoToTray();
  } else {
    LeaveTray();
  }
}

void GuiController::GoToTray() {
  if (!TrayIcon::Available()) {
    if (!main_window_->isVisible()) main_window_->show();
    return;
  }
  tray_->SetShown(true);
  main_window_->hide();
  in_tray_ = true;
}

void GuiController::LeaveTray() {
  tray_->SetShown(false);
  main_window_->showNormal();
  main_window_->raise();
  main_window_->activateWindow();
  in_tray_ = false;
}

void GuiController::ScheduleLogSync() {
  if (log_sync_pending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        // Cleared first: a line shown while we read schedules another pass.
        log_sync_pending_.store(false);
        SyncLogging(true);
      },
      Qt::QueuedConnection);
}

void GuiController::SyncLogging(bool lines) {
  logging_window_->Bind(core_.logging_window());  // a restart brings a new logging window
  if (lines) logging_window_->SyncLines();
  const auto& model = logging_window_->model();
  const bool restore = show_logging_requested_ && model && model->visible();
  if (restore) show_logging_requested_ = false;
  logging_window_->SyncState(restore);
}

void GuiController::OnCoreFinished(int code) {
  state_poll_.stop();
  logging_window_->hide();
  main_window_->hide();
  tray_->SetShown(false);
  Q_EMIT finished(code);
}

int GuiController::Finish() {
  if (finished_) return core_.Join();
  finished_ = true;
  state_poll_.stop();
  boxes_->SetClosing();
  core_.RequestQuit();
  // A box asked for just before the closing flag was set waits for this
  // thread: keep handling queued calls until the core thread is done.
  while (core_.running()) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    QThread::msleep(5);
  }
  const int code = core_.Join();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  platform::SetMessageBoxes(nullptr);
  if (about_ != nullptr) about_->close();
  logging_window_->hide();
  main_window_->hide();
  tray_->SetShown(false);
  return code;
}

}  // namespace kestrel::ui
