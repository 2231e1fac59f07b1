#include "shell/SignalBridge.h"

#include <unistd.h>

#include "platform/ProcessSetup.h"
#include "support/WindowMessages.h"

namespace kestrel {

SignalBridge::SignalBridge(platform::MessageLoop& main_window)
    : main_window_(main_window), signal_fd_(platform::OpenServerSignals()) {}

SignalBridge::~SignalBridge() {
  stop_.Set();
  thread_.Join();
  if (signal_fd_ >= 0) close(signal_fd_);
}

bool SignalBridge::Start() {
  if (signal_fd_ < 0) return false;
  return thread_.Start([this] { Run(); }, 64 * 1024);
}

void SignalBridge::Run() {
  for (;;) {
    int which = platform::WaitForAny({&stop_}, std::nullopt, signal_fd_);
    if (which == 0) return;
    for (platform::ServerSignal signal = platform::ReadServerSignal(signal_fd_);
         signal != platform::ServerSignal::kNone; signal = platform::ReadServerSignal(signal_fd_)) {
      const std::uint32_t command =
          signal == platform::ServerSignal::kRestart ? ID_RESTART_SERVER : ID_SHUTDOWN_SERVER;
      main_window_.Post(WM_COMMAND, static_cast<std::intptr_t>(command));
    }
  }
}

}  // namespace kestrel
