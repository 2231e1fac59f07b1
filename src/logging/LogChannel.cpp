#include "logging/LogChannel.h"

#include <cstdio>
#include <memory>

#include "logging/LogRecord.h"
#include "support/WindowMessages.h"

namespace kestrel {

const char* LogLevelName(int level) {
  switch (level) {
    case kLogError:
      return "Error";
    case kLogWarning:
      return "Warning";
    case kLogInfo:
      return "Info";
    default:
      return "";
  }
}

std::string StringPrintfV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, format, args);
  return out;
}

std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = StringPrintfV(format, args);
  va_end(args);
  return out;
}

namespace {
platform::Message RecordMessage(std::string text, int level) {
  platform::Message m;
  m.id = WM_LOG_RECORD;
  m.record = std::make_unique<LogRecord>(std::move(text), level);
  return m;
}
}  // namespace

void LogChannel::Log(int level, std::string text) const {
  using Result = platform::MessageLoop::PostResult;
  std::lock_guard<std::mutex> lock(mu_);
  if (loop_ == nullptr) return;
  if (dropped_ > 0) {
    std::string note = StringPrintf("logging: %llu lines dropped, the logging queue was full",
                                    static_cast<unsigned long long>(dropped_));
    if (loop_->PostBounded(RecordMessage(std::move(note), kLogWarning), kMaxQueuedRecords) !=
        Result::kPosted) {
      ++dropped_;
      return;
    }
    dropped_ = 0;
  }
  if (loop_->PostBounded(RecordMessage(std::move(text), level), kMaxQueuedRecords) ==
      Result::kFull) {
    ++dropped_;
  }
}

void LogChannel::Logf(int level, const char* format, ...) const {
  if (!HasWindow()) return;
  va_list args;
  va_start(args, format);
  std::string text = StringPrintfV(format, args);
  va_end(args);
  Log(level, std::move(text));
}

bool LogChannel::HasWindow() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loop_ != nullptr;
}

void LogChannel::Attach(platform::MessageLoop* window_loop) {
  std::lock_guard<std::mutex> lock(mu_);
  loop_ = window_loop;
}

void LogChannel::Detach() {
  std::lock_guard<std::mutex> lock(mu_);
  loop_ = nullptr;
}

}  // namespace kestrel
