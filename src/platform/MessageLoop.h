#pragma once
// A message loop per window-owning thread, in the manner of a Win32 window:
// Post (asynchronous, FIFO), Send (synchronous, runs on the owner thread),
// window timers and an end-of-loop call. Records that travel with a message
// are owned by it and freed exactly once: by the receiver, or by the loop when
// it ends with the message still queued.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Clock.h"

namespace kestrel::platform {

// Base of every heap record that travels with a message.
struct MessageRecord {
  virtual ~MessageRecord() = default;
};

struct Message {
  std::uint32_t id = 0;
  std::intptr_t wparam = 0;
  std::intptr_t lparam = 0;
  std::unique_ptr<MessageRecord> record;  // owned; moves with the message

  // Takes the record as T (null when there is none or it is another type).
  template <class T>
  std::unique_ptr<T> Take() {
    if (auto* typed = dynamic_cast<T*>(record.get())) {
      record.release();
      return std::unique_ptr<T>(typed);
    }
    return nullptr;
  }
};

// Timer messages carry the timer identifier in wparam.
inline constexpr std::uint32_t kWmTimer = 0x0113;

class MessageLoop {
 public:
  using Handler = std::function<std::intptr_t(Message&)>;

  // clock: borrowed, must outlive the loop; drives the timers.
  explicit MessageLoop(Clock& clock);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Set before Run; the handler runs on the owner thread only.
  void SetHandler(Handler handler) { handler_ = std::move(handler); }

  // Any thread. False when the loop has ended (the message is dropped and freed).
  bool Post(Message message);
  bool Post(std::uint32_t id, std::intptr_t wparam = 0, std::intptr_t lparam = 0) {
    Message m;
    m.id = id;
    m.wparam = wparam;
    m.lparam = lparam;
    return Post(std::move(m));
  }
  // Any thread: Post only while fewer than max_queued messages wait, so a
  // sender that outruns the owner costs messages, not memory.
  enum class PostResult { kPosted, kFull, kEnded };
  [[nodiscard]] PostResult PostBounded(Message message, std::size_t max_queued);
  // Any thread: runs the handler on the owner thread and returns its result.
  // From the owner thread the handler runs directly. Returns 0 when the loop
  // has ended or ends before the message is handled.
  std::intptr_t Send(Message message);
  std::intptr_t Send(std::uint32_t id, std::intptr_t wparam = 0, std::intptr_t lparam = 0) {
    Message m;
    m.id = id;
    m.wparam = wparam;
    m.lparam = lparam;
    return Send(std::move(m));
  }
  // Runs a function on the owner thread and waits for it.
  void Invoke(const std::function<void()>& fn);

  // Timers post kWmTimer with wparam = id every period (owner thread delivers).
  // Setting an existing id restarts it. Missed periods are delivered one by one.
  // Events are handled in time order: a tick due at a time comes before the
  // messages queued at or after that time, so a Send issued after a test clock
  // advance returns once every tick due by then has fired.
  void SetTimer(std::uint32_t id, std::chrono::milliseconds period);
  void KillTimer(std::uint32_t id);

  // Runs on the calling thread (the owner from now on) until Quit. Returns the
  // Quit code. Queued messages left at the end are freed without handling.
  int Run();
  // Any thread: ends the loop after the message being handled.
  void Quit(int code = 0);

  bool IsOwnerThread() const;
  bool Ended() const;

 private:
  struct Pending;
  struct SendState;
  struct Timer {
    std::chrono::milliseconds period;
    Clock::SteadyTime due;
  };
  // The earliest timer due at or before limit; false when none.
  bool EarliestDueTimer(Clock::SteadyTime limit, std::uint32_t& id) const;  // mu_ held
  std::intptr_t SendAndWait(std::unique_ptr<Pending> pending);
  void EndLocked(std::unique_lock<std::mutex>& lock);

  Clock& clock_;
  Handler handler_;
  int clock_token_ = 0;  // owner thread only, while Run subscribes to a test clock
  mutable std::mutex mu_;
  std::condition_variable cv_;       // wakes the owner: message, timer change, quit, advance
  std::condition_variable done_cv_;  // wakes senders: their message was handled or dropped
  std::deque<std::unique_ptr<Pending>> queue_;  // guarded by mu_
  std::map<std::uint32_t, Timer> timers_;       // guarded by mu_
  bool quit_ = false;                           // guarded by mu_
  bool ended_ = false;                          // guarded by mu_
  int quit_code_ = 0;                           // guarded by mu_
  int waiting_senders_ = 0;                     // guarded by mu_
  std::thread::id owner_;                       // guarded by mu_
};

}  // namespace kestrel::platform
