#include "SignalBridge.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "support/WindowMessages.h"

namespace kestrel {

namespace {
sigset_t ServerSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

SignalBridge::SignalBridge(platform::MessageLoop& main_window) : main_window_(main_window) {
  sigset_t set = ServerSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

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
    signalfd_siginfo info;
    while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      std::uint32_t command = info.ssi_signo == SIGHUP ? ID_RESTART_SERVER : ID_SHUTDOWN_SERVER;
      main_window_.Post(WM_COMMAND, static_cast<std::intptr_t>(command));
    }
  }
}

}  // namespace kestrel
