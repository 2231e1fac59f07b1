#pragma once
// Win32-style events on eventfd, so a thread can wait on several events and a
// socket's readability in one poll() without busy polling.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

namespace kestrel::platform {

class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };

  explicit Event(Mode mode, bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when signalled; an auto-reset event is consumed by a successful call.
  bool TryConsume();
  // True when signalled; never consumes.
  bool IsSet() const;

  Mode mode() const { return mode_; }
  int fd() const { return fd_; }

 private:
  friend int WaitForAny(std::span<Event* const>, std::optional<std::chrono::milliseconds>, int);
  // Bumped by Set (release) and read by the consuming side (acquire): what the
  // setter wrote before Set is visible to whoever wakes on the event.
  void Acquired() const { (void)sets_.load(std::memory_order_acquire); }

  Mode mode_;
  int fd_;
  std::atomic<std::uint64_t> sets_{0};
};

// Result of WaitForAny: the index of the signalled event in list order,
// kReadable when the extra descriptor became readable, or kTimeout.
inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitReadable = -2;

// Waits until one of the events is signalled (or readable_fd is readable, when
// given). Returns the first signalled event in list order and consumes only that
// one (auto-reset). Events win over the descriptor. No timeout waits forever.
int WaitForAny(std::span<Event* const> events,
               std::optional<std::chrono::milliseconds> timeout = std::nullopt,
               int readable_fd = -1);

inline int WaitForAny(std::initializer_list<Event*> events,
                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                      int readable_fd = -1) {
  return WaitForAny(std::span<Event* const>(events.begin(), events.size()), timeout, readable_fd);
}

}  // namespace kestrel::platform
