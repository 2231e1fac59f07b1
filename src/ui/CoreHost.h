#pragma once
// Runs the server core (the main window's message loop and CMainDialog) on a
// thread of its own, so a toolkit can own the process's first thread. Nothing
// here knows the toolkit: the front end learns about the core through three
// callbacks and talks to it only by posting window messages.
//
// Threads: the constructor, Start, Post, RequestQuit and Join run on the
// front end's thread; the callbacks run on the threads named beside them and
// must not wait for the front end's thread while it may wait for the core.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "logging/LogChannel.h"
#include "logging/LoggingDialog.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Thread.h"
#include "shell/MainDialog.h"
#include "shell/TrayModel.h"

namespace kestrel::ui {

struct CoreCallbacks {
  // Core thread: the main window's state changed; the model is a copy.
  std::function<void(const TrayModel& model)> state_changed;
  // Logging thread: the logging window shows one more line.
  std::function<void()> log_line_shown;
  // Core thread, last call: the loop has ended and the server has stopped.
  std::function<void(int code)> finished;
};

class CoreHost {
 public:
  // clock: borrowed, must outlive this object. port_override >= 0 listens on
  // that port instead of the configured one (0: any free port; tests).
  CoreHost(platform::Clock& clock, CoreCallbacks callbacks, int port_override = -1);
  ~CoreHost();  // RequestQuit, then Join
  CoreHost(const CoreHost&) = delete;
  CoreHost& operator=(const CoreHost&) = delete;

  // Starts the core thread: main window initialisation, then its loop. False
  // when already started or the thread cannot be created.
  bool Start();

  // Any thread: posts a window message to the main window. False once its loop has ended.
  bool Post(std::uint32_t id, std::intptr_t wparam = 0, std::intptr_t lparam = 0);
  bool PostCommand(std::uint32_t command);

  // Ends the main window's loop without asking; the core thread then stops
  // the server. Used when the front end goes away on its own.
  void RequestQuit();

  // Waits for the core thread; returns the loop's exit code (0 if never started).
  int Join();
  bool finished() const { return finished_.load(); }
  // The core thread was started and has not finished yet.
  bool running() const { return started_.load() && !finished_.load(); }

  // Any thread: the current logging window, null between a stop and the next start.
  std::shared_ptr<CLoggingDialog> logging_window() const;
  // Any thread: the path every thread reports through.
  const LogChannel& log() const { return dialog_->log(); }
  // Any thread, once the server listens: the port it listens on.
  std::uint16_t port() const { return port_.load(); }

 private:
  void Main();  // the core thread

  CoreCallbacks callbacks_;
  platform::MessageLoop loop_;
  std::unique_ptr<CMainDialog> dialog_;  // lives as long as this object; core thread uses it
  platform::Thread thread_;              // front end thread only
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::uint16_t> port_{0};
  int exit_code_ = 0;  // written by the core thread before it ends; read after Join
};

}  // namespace kestrel::ui
