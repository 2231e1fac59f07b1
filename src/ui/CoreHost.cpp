#include "ui/CoreHost.h"

#include <utility>

#include "support/WindowMessages.h"

namespace kestrel::ui {

CoreHost::CoreHost(platform::Clock& clock, CoreCallbacks callbacks, int port_override)
    : callbacks_(std::move(callbacks)), loop_(clock) {
  MainDialogHooks hooks;
  hooks.port_override = port_override;
  hooks.on_state_changed = [this] {
    // Runs on the core thread, the only writer of the model, so a plain copy is consistent.
    port_.store(dialog_->listening() ? dialog_->listening_port() : 0);
    if (callbacks_.state_changed) callbacks_.state_changed(dialog_->tray());
  };
  hooks.on_log_line = [this](const std::string&, int) {
    if (callbacks_.log_line_shown) callbacks_.log_line_shown();
  };
  dialog_ = std::make_unique<CMainDialog>(loop_, clock, std::move(hooks));
}

CoreHost::~CoreHost() {
  RequestQuit();
  Join();
}

bool CoreHost::Start() {
  if (started_.load()) return false;
  started_.store(thread_.Start([this] { Main(); }));
  return started_.load();
}

void CoreHost::Main() {
  dialog_->OnInitDialog();
  const int code = loop_.Run();
  // A shutdown has stopped the server already; a quit from the front end has not.
  dialog_->StopServer();
  exit_code_ = code;
  finished_.store(true);
  if (callbacks_.finished) callbacks_.finished(code);
}

bool CoreHost::Post(std::uint32_t id, std::intptr_t wparam, std::intptr_t lparam) {
  return loop_.Post(id, wparam, lparam);
}

bool CoreHost::PostCommand(std::uint32_t command) {
  return Post(WM_COMMAND, static_cast<std::intptr_t>(command));
}

void CoreHost::RequestQuit() {
  loop_.Quit(0);
}

int CoreHost::Join() {
  thread_.Join();
  return exit_code_;
}

std::shared_ptr<CLoggingDialog> CoreHost::logging_window() const {
  return dialog_->logging().window();
}

}  // namespace kestrel::ui
