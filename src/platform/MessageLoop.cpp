#include "platform/MessageLoop.h"

#include <algorithm>
#include <vector>

namespace kestrel::platform {

// Completion of a Send or Invoke; lives on the waiting sender's stack.
struct MessageLoop::SendState {
  std::intptr_t result = 0;
  bool done = false;  // guarded by the loop's mu_
};

struct MessageLoop::Pending {
  Message message;
  Clock::SteadyTime stamp;                        // clock reading when queued
  SendState* send = nullptr;                      // borrowed from the waiting sender; null for Post
  const std::function<void()>* invoke = nullptr;  // borrowed from Invoke's caller
};

MessageLoop::MessageLoop(Clock& clock) : clock_(clock) {}

MessageLoop::~MessageLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!ended_) EndLocked(lock);
  done_cv_.wait(lock, [this] { return waiting_senders_ == 0; });
}

bool MessageLoop::Post(Message message) {
  auto pending = std::make_unique<Pending>();
  pending->message = std::move(message);
  pending->stamp = clock_.Steady();
  std::unique_lock<std::mutex> lock(mu_);
  if (ended_) {
    lock.unlock();
    return false;  // pending and its record go away here, outside the lock
  }
  queue_.push_back(std::move(pending));
  cv_.notify_all();
  return true;
}

MessageLoop::PostResult MessageLoop::PostBounded(Message message, std::size_t max_queued) {
  auto pending = std::make_unique<Pending>();
  pending->message = std::move(message);
  pending->stamp = clock_.Steady();
  std::unique_lock<std::mutex> lock(mu_);
  const PostResult result = ended_                        ? PostResult::kEnded
                            : queue_.size() >= max_queued ? PostResult::kFull
                                                          : PostResult::kPosted;
  if (result != PostResult::kPosted) {
    lock.unlock();
    return result;  // pending and its record go away here, outside the lock
  }
  queue_.push_back(std::move(pending));
  cv_.notify_all();
  return result;
}

std::intptr_t MessageLoop::Send(Message message) {
  if (IsOwnerThread()) {
    if (Ended() || !handler_) return 0;
    return handler_(message);
  }
  auto pending = std::make_unique<Pending>();
  pending->message = std::move(message);
  pending->stamp = clock_.Steady();
  return SendAndWait(std::move(pending));
}

void MessageLoop::Invoke(const std::function<void()>& fn) {
  if (IsOwnerThread()) {
    fn();
    return;
  }
  auto pending = std::make_unique<Pending>();
  pending->invoke = &fn;
  pending->stamp = clock_.Steady();
  SendAndWait(std::move(pending));
}

std::intptr_t MessageLoop::SendAndWait(std::unique_ptr<Pending> pending) {
  SendState state;
  pending->send = &state;
  std::unique_lock<std::mutex> lock(mu_);
  if (ended_) {
    lock.unlock();
    return 0;
  }
  queue_.push_back(std::move(pending));
  cv_.notify_all();
  ++waiting_senders_;
  done_cv_.wait(lock, [&state] { return state.done; });
  if (--waiting_senders_ == 0) done_cv_.notify_all();
  return state.result;
}

void MessageLoop::SetTimer(std::uint32_t id, std::chrono::milliseconds period) {
  // A zero period would tick on every pass and starve the queue.
  period = std::max(period, std::chrono::milliseconds(1));
  const Clock::SteadyTime due = clock_.Steady() + period;
  std::lock_guard<std::mutex> lock(mu_);
  timers_[id] = Timer{period, due};
  cv_.notify_all();
}

void MessageLoop::KillTimer(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  timers_.erase(id);
}

bool MessageLoop::EarliestDueTimer(Clock::SteadyTime limit, std::uint32_t& id) const {
  bool found = false;
  Clock::SteadyTime best{};
  for (const auto& [timer_id, timer] : timers_) {
    if (timer.due <= limit && (!found || timer.due < best)) {
      found = true;
      best = timer.due;
      id = timer_id;
    }
  }
  return found;
}

int MessageLoop::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  if (ended_) return quit_code_;
  owner_ = std::this_thread::get_id();
  const bool real_clock = clock_.IsReal();
  if (!real_clock) {
    lock.unlock();
    // A test clock never moves while we wait: its advance wakes us instead.
    clock_token_ = clock_.Subscribe([this] {
      std::lock_guard<std::mutex> guard(mu_);
      cv_.notify_all();
    });
    lock.lock();
  }

  while (!quit_) {
    // Fire the earliest tick due by now, unless the oldest message was queued before it.
    Clock::SteadyTime limit = clock_.Steady();
    if (!queue_.empty()) limit = std::min(limit, queue_.front()->stamp);
    std::uint32_t timer_id = 0;
    if (EarliestDueTimer(limit, timer_id)) {
      Timer& timer = timers_[timer_id];
      timer.due += timer.period;
      lock.unlock();
      Message tick;
      tick.id = kWmTimer;
      tick.wparam = static_cast<std::intptr_t>(timer_id);
      if (handler_) handler_(tick);
      lock.lock();
      continue;
    }

    if (!queue_.empty()) {
      std::unique_ptr<Pending> pending = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      std::intptr_t result = 0;
      if (pending->invoke != nullptr) {
        (*pending->invoke)();
      } else if (handler_) {
        result = handler_(pending->message);
      }
      SendState* state = pending->send;
      pending.reset();  // frees a record the handler did not take
      lock.lock();
      if (state != nullptr) {
        state->result = result;
        state->done = true;
        done_cv_.notify_all();
      }
      continue;
    }

    if (real_clock && !timers_.empty()) {
      Clock::SteadyTime next = timers_.begin()->second.due;
      for (const auto& entry : timers_) next = std::min(next, entry.second.due);
      cv_.wait_until(lock, next);
    } else {
      cv_.wait(lock);
    }
  }

  EndLocked(lock);
  const int code = quit_code_;
  lock.unlock();
  if (clock_token_ != 0) {
    clock_.Unsubscribe(clock_token_);
    clock_token_ = 0;
  }
  return code;
}

void MessageLoop::EndLocked(std::unique_lock<std::mutex>& lock) {
  ended_ = true;
  std::deque<std::unique_ptr<Pending>> left = std::move(queue_);
  queue_.clear();
  std::vector<SendState*> senders;
  for (auto& pending : left) {
    if (pending->send != nullptr) senders.push_back(pending->send);
  }
  // Records are freed outside the lock: their destructors may post elsewhere.
  lock.unlock();
  left.clear();
  lock.lock();
  for (SendState* state : senders) {
    state->result = 0;
    state->done = true;
  }
  done_cv_.notify_all();
}

void MessageLoop::Quit(int code) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ended_ || quit_) return;
  quit_ = true;
  quit_code_ = code;
  cv_.notify_all();
}

bool MessageLoop::IsOwnerThread() const {
  std::lock_guard<std::mutex> lock(mu_);
  return owner_ == std::this_thread::get_id();
}

bool MessageLoop::Ended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_;
}

}  // namespace kestrel::platform
