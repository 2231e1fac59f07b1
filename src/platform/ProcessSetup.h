#pragma once
// Process set-up shared by the server's front ends: the descriptor limit and
// the signals that restart and stop the server.
namespace kestrel::platform {

// Raises the soft limit of open descriptors to the hard limit: 250
// connections with their events need more than the common 1024.
void RaiseDescriptorLimit();

// Blocks SIGHUP, SIGTERM and SIGINT in the calling thread, and so in every
// thread it starts afterwards (call it before any other thread exists), and
// returns a descriptor that reads them (close-on-exec, non-blocking); -1 on
// failure. The caller owns and closes it.
int OpenServerSignals();

enum class ServerSignal {
  kNone,      // nothing (more) to read
  kRestart,   // SIGHUP
  kShutdown,  // SIGTERM, SIGINT
};
// The next signal waiting on a descriptor of OpenServerSignals.
ServerSignal ReadServerSignal(int signal_fd);

}  // namespace kestrel::platform
