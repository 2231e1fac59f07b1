#include "platform/ProcessSetup.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kestrel::platform {

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int OpenServerSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

ServerSignal ReadServerSignal(int signal_fd) {
  signalfd_siginfo info{};
  if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
    return ServerSignal::kNone;
  }
  return info.ssi_signo == SIGHUP ? ServerSignal::kRestart : ServerSignal::kShutdown;
}

}  // namespace kestrel::platform
