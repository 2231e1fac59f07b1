#pragma once
// A joinable thread with a chosen stack size (250 slot threads stay small).
// Joined on destruction; never detached.
#include <cstddef>
#include <functional>
#include <memory>

namespace kestrel::platform {

class Thread {
 public:
  Thread();  // defined where Impl is complete
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn on a new thread; stack_size 0 takes the system default. False on failure.
  bool Start(std::function<void()> fn, std::size_t stack_size = 0);
  void Join();
  bool Joinable() const { return started_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool started_ = false;
};

// Fills the buffer from the operating system's secure random source.
bool SecureRandom(void* buffer, std::size_t size);

}  // namespace kestrel::platform
