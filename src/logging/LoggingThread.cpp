#include "logging/LoggingThread.h"

#include <utility>

#include "support/WindowMessages.h"

namespace kestrel {

LoggingThread::~LoggingThread() {
  Close();
}

bool LoggingThread::Start(platform::MessageLoop& main_window, int log_level, LogChannel& channel,
                          platform::Clock& clock, CLoggingDialog::LineObserver observer,
                          std::intptr_t ready_tag) {
  if (thread_.Joinable()) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    loop_ = std::make_unique<platform::MessageLoop>(clock);
  }
  platform::MessageLoop* main = &main_window;
  LogChannel* chan = &channel;
  platform::Clock* clk = &clock;
  const bool started =
      thread_.Start([this, main, log_level, chan, clk, observer, ready_tag]() mutable {
        Main(*main, log_level, *chan, *clk, std::move(observer), ready_tag);
      });
  if (!started) {
    std::lock_guard<std::mutex> lock(mu_);
    loop_.reset();
  }
  return started;
}

void LoggingThread::Main(platform::MessageLoop& main_window, int log_level, LogChannel& channel,
                         platform::Clock& clock, CLoggingDialog::LineObserver observer,
                         std::intptr_t ready_tag) {
  platform::MessageLoop* loop;
  {
    std::lock_guard<std::mutex> lock(mu_);
    loop = loop_.get();  // stays alive until Close has joined this thread
  }
  auto window =
      std::make_shared<CLoggingDialog>(&main_window, log_level, clock, std::move(observer));
  CLoggingDialog* dialog = window.get();
  loop->SetHandler(
      [dialog, loop](platform::Message& m) { return dialog->HandleMessage(*loop, m); });
  {
    std::lock_guard<std::mutex> lock(mu_);
    window_ = window;
  }
  // Senders can reach the window before the main window learns it is ready.
  channel.Attach(loop);
  dialog->Init(ready_tag);  // posts WM_LOG_READY
  loop->Run();
  channel.Detach();
  {
    std::lock_guard<std::mutex> lock(mu_);
    window_.reset();
  }
}

void LoggingThread::Close() {
  if (!thread_.Joinable()) return;
  platform::MessageLoop* loop;
  {
    std::lock_guard<std::mutex> lock(mu_);
    loop = loop_.get();
  }
  // Send queues behind every record posted before it (e.g. the last Warning
  // of the stop sequence), so those still reach the logbook.
  if (loop != nullptr) loop->Send(WM_LOG_CLOSE);
  thread_.Join();
  std::lock_guard<std::mutex> lock(mu_);
  loop_.reset();  // frees records that arrived after the close
}

bool LoggingThread::Show() {
  platform::Message m;
  m.id = WM_LOG_SHOW;
  return Post(std::move(m));
}

bool LoggingThread::Post(platform::Message message) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!loop_) return false;
  return loop_->Post(std::move(message));
}

std::shared_ptr<CLoggingDialog> LoggingThread::window() const {
  std::lock_guard<std::mutex> lock(mu_);
  return window_;
}

bool LoggingThread::running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loop_ != nullptr && !loop_->Ended();
}

}  // namespace kestrel
