#pragma once
// A CMainDialog on a real message loop driven by a TestClock, on its own
// "main thread" and in a temporary folder, for tests that speak to it over
// loopback.
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "shell/MainDialog.h"
#include "support/WindowMessages.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

// A main window on its own "main thread", working in a temporary folder.
class RunningServer {
 public:
  // port: where to listen (0: any free port).
  explicit RunningServer(const platform::LocalTime& start, const std::string& config = "",
                         int port = 0)
      : clock_(start), cwd_(dir_.path()), loop_(clock_) {
    if (!config.empty()) WriteFile(dir_.Sub("Config/KestrelServer.xml"), config);
    MainDialogHooks hooks;
    hooks.port_override = port;
    hooks.on_log_line = [this](const std::string& line, int) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(line);
    };
    hooks.on_state_changed = [this] {
      std::lock_guard<std::mutex> lock(mu_);
      state_lines_.push_back(dialog_->tray().state_line);
    };
    dialog_ = std::make_unique<CMainDialog>(loop_, clock_, std::move(hooks));
    thread_ = std::thread([this] { exit_code_ = loop_.Run(); });
    loop_.Invoke([this] { dialog_->OnInitDialog(); });
    WaitFor([this] {
      return OnMain([this] { return dialog_->slots_running() || !dialog_->listening(); });
    });
    port_ = OnMain([this] { return dialog_->listening_port(); });
  }
  ~RunningServer() {
    if (!ended_) {
      loop_.Invoke([this] { dialog_->StopServer(); });
      loop_.Quit();
    }
    thread_.join();
    dialog_.reset();
  }

  template <class F>
  auto OnMain(F fn) -> decltype(fn()) {
    decltype(fn()) result{};
    loop_.Invoke([&] { result = fn(); });
    return result;
  }
  // One timer tick per second, each handled before the next.
  void Tick(int seconds = 1) {
    for (int i = 0; i < seconds; ++i) {
      clock_.Advance(std::chrono::seconds(1));
      loop_.Invoke([] {});
    }
  }
  int Current() {
    return OnMain([this] { return dialog_->statistics().current(); });
  }
  TrayModel Tray() {
    return OnMain([this] { return dialog_->tray(); });
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // The state line at every change the window reported, oldest first.
  std::vector<std::string> StateLines() {
    std::lock_guard<std::mutex> lock(mu_);
    return state_lines_;
  }
  bool Connect(client::ClientConnection& c) {
    return c.Connect("127.0.0.1", port_) && client::Ping(c);
  }
  void Command(std::uint32_t id) { loop_.Post(WM_COMMAND, static_cast<std::intptr_t>(id)); }
  bool WaitEnded() {
    thread_.join();
    thread_ = std::thread([] {});
    ended_ = true;
    return true;
  }

  TempDir dir_;
  platform::TestClock clock_;
  ScopedCwd cwd_;
  platform::MessageLoop loop_;
  std::unique_ptr<CMainDialog> dialog_;
  std::thread thread_;
  int exit_code_ = -1;
  bool ended_ = false;
  std::uint16_t port_ = 0;
  std::mutex mu_;
  std::vector<std::string> lines_;
  std::vector<std::string> state_lines_;
};

}  // namespace kestrel::test
