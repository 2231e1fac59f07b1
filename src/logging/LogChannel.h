#pragma once
// The one path by which every thread reports: Log() posts a LogRecord to the
// current logging window. While no logging window exists (before it is ready,
// and between a stop and the next start) records are not built at all. At
// most kMaxQueuedRecords wait for the logging thread; records beyond that are
// dropped and counted, and the count is logged once there is room again.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/MessageLoop.h"

namespace kestrel {

class LogChannel {
 public:
  static constexpr std::size_t kMaxQueuedRecords = 4096;

  LogChannel() = default;
  LogChannel(const LogChannel&) = delete;
  LogChannel& operator=(const LogChannel&) = delete;

  // Any thread.
  void Log(int level, std::string text) const;
  void Logf(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  bool HasWindow() const;

  // Logging thread: window_loop is borrowed until Detach, which waits for any
  // Log() in progress, so the loop may be destroyed right after it.
  void Attach(platform::MessageLoop* window_loop);
  void Detach();

 private:
  mutable std::mutex mu_;
  platform::MessageLoop* loop_ = nullptr;  // guarded by mu_
  mutable std::uint64_t dropped_ = 0;      // guarded by mu_; not yet reported
};

// printf into a std::string.
std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringPrintfV(const char* format, va_list args);

}  // namespace kestrel
