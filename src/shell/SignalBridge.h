#pragma once
// Turns SIGHUP, SIGTERM and SIGINT into main-window commands: a restart, and a
// shutdown. The signals are blocked in every thread (construct this before any
// other thread starts) and read by one thread of our own (the headless front
// end; the desktop one reads them in its Qt loop).
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace kestrel {

class SignalBridge {
 public:
  // main_window: borrowed; must outlive this object.
  explicit SignalBridge(platform::MessageLoop& main_window);
  ~SignalBridge();  // stops and joins the reader thread
  SignalBridge(const SignalBridge&) = delete;
  SignalBridge& operator=(const SignalBridge&) = delete;

  bool Start();

 private:
  void Run();

  platform::MessageLoop& main_window_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  int signal_fd_ = -1;  // owned
  platform::Thread thread_;
};

}  // namespace kestrel
