#pragma once
// The logging thread: it owns the logging window (CLoggingDialog) and its
// message loop. Start() brings it up; the thread attaches the LogChannel to its
// loop, posts WM_LOG_READY to the main window and runs the loop until
// WM_LOG_CLOSE; then it detaches the channel, drops the window and ends.
//
// Threads: Start, Close and the destructor are called by the main window
// thread only. Show, Post and window may be called from any thread.
#include <cstdint>
#include <memory>
#include <mutex>

#include "logging/LogChannel.h"
#include "logging/LoggingDialog.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Thread.h"

namespace kestrel {

class LoggingThread {
 public:
  LoggingThread() = default;
  ~LoggingThread();  // Close()
  LoggingThread(const LoggingThread&) = delete;
  LoggingThread& operator=(const LoggingThread&) = delete;

  // main_window, channel and clock are borrowed and must outlive the thread
  // (until Close returns). log_level: the window's initial display level.
  // The observer runs on the logging thread for every shown line. ready_tag
  // travels in the wparam of this window's WM_LOG_READY. False when a logging
  // thread is already running or the thread cannot be started.
  bool Start(platform::MessageLoop& main_window, int log_level, LogChannel& channel,
             platform::Clock& clock, CLoggingDialog::LineObserver observer = {},
             std::intptr_t ready_tag = 0);

  // Sends WM_LOG_CLOSE (handled after every message posted before it) and
  // waits for the thread to end. Nothing happens when no thread runs.
  void Close();

  // Any thread: posts WM_LOG_SHOW ("Show logging"). False when no loop runs.
  bool Show();
  // Any thread: posts a message to the logging loop (e.g. WM_COMMAND).
  bool Post(platform::Message message);

  // Any thread: the logging window while it exists, else null. The caller's
  // reference keeps the object alive; it stops receiving records once the
  // thread has ended.
  std::shared_ptr<CLoggingDialog> window() const;
  bool running() const;

 private:
  void Main(platform::MessageLoop& main_window, int log_level, LogChannel& channel,
            platform::Clock& clock, CLoggingDialog::LineObserver observer, std::intptr_t ready_tag);

  mutable std::mutex mu_;
  // Created by Start, destroyed by Close after the thread has ended; the
  // logging thread runs it. guarded by mu_ (the pointer; the loop is thread-safe).
  std::unique_ptr<platform::MessageLoop> loop_;
  std::shared_ptr<CLoggingDialog> window_;  // guarded by mu_; set and cleared by the logging thread
  platform::Thread thread_;                 // main window thread only
};

}  // namespace kestrel
