#pragma once
// Lines for standard output (or any descriptor) that never hold up the
// writer for long: a line goes out at once while the reader keeps up;
// otherwise it waits in a buffer of at most max_pending bytes, and lines that
// do not fit are dropped and counted. Once the buffer has drained, one note
// says how many lines were lost. A reader that stops reading costs lines, not
// memory, and never stops the logging thread.
//
// Threads: one writer at a time (the logging thread of the current start).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

class StdoutLines {
 public:
  static constexpr std::size_t kMaxPending = 256 * 1024;
  // How long the destructor waits for a slow reader to take what is left.
  static constexpr std::chrono::milliseconds kCloseWait{500};

  // fd: borrowed, stays open for the object's life.
  explicit StdoutLines(int fd, std::size_t max_pending = kMaxPending);
  ~StdoutLines();
  StdoutLines(const StdoutLines&) = delete;
  StdoutLines& operator=(const StdoutLines&) = delete;

  // Writes line and a newline, or queues or drops it; never waits.
  void Write(std::string_view line);
  std::size_t pending() const { return pending_.size() - sent_; }
  std::uint64_t dropped_total() const { return dropped_total_; }

 private:
  // Writes what the descriptor takes within `wait`; false when it stopped early.
  bool Flush(std::chrono::milliseconds wait);

  const int fd_;
  const std::size_t max_pending_;
  std::string pending_;  // bytes not yet written start at sent_
  std::size_t sent_ = 0;
  std::uint64_t dropped_ = 0;  // since the last note
  std::uint64_t dropped_total_ = 0;
  bool broken_ = false;  // the reader went away: everything is dropped
};

}  // namespace kestrel
