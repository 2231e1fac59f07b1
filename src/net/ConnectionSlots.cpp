#include "net/ConnectionSlots.h"

#include <cstring>

#include "logging/LogRecord.h"
#include "net/Frame.h"
#include "support/WindowMessages.h"

namespace kestrel {

using State = ConnectionSlot::State;

ConnectionSlots::ConnectionSlots() {
  for (int i = 0; i < kSlotCount; ++i) slots_[static_cast<std::size_t>(i)].thread_number = i;
}

ConnectionSlots::~ConnectionSlots() {
  StopAll();
}

bool ConnectionSlots::StartAll(const SlotValues& values, platform::Event* stop_event,
                               SessionFactory factory) {
  if (running_ || stop_event == nullptr) return false;
  values_ = values;
  values_.connection = nullptr;
  factory_ = std::move(factory);
  stop_event_ = stop_event;
  stop_event_->Reset();  // a stop event reused from an earlier run is live again
  running_ = true;
  bool all_started = true;
  for (ConnectionSlot& slot : slots_) {
    StartSlot(slot);
    if (slot.thread_ended()) all_started = false;
  }
  return all_started;
}

void ConnectionSlots::StartSlot(ConnectionSlot& slot) {
  slot.thread.Join();  // the previous thread has ended; reap it
  slot.connection.reset();
  slot.terminate_event.Reset();
  slot.start_event.Reset();
  slot.timeout.store(-1);
  slot.remote_password.Set(values_.remote_password != nullptr ? values_.remote_password->Get()
                                                              : std::string());
  if (live_threads_.fetch_add(1) == 0) all_ended_.Reset();
  // Every start value is written before the thread exists.
  slot.state.store(State::kWaiting);
  if (!slot.thread.Start([this, &slot] { SlotThread(slot); }, kSlotStackSize)) {
    // Tried again on the next timer tick.
    slot.state.store(State::kEnded);
    ThreadEnded();
  }
}

int ConnectionSlots::HandOff(std::unique_ptr<CSocketClass> connection) {
  if (connection == nullptr) return -1;
  if (running_) {
    for (ConnectionSlot& slot : slots_) {
      if (slot.state.load() != State::kWaiting) continue;
      // The connection goes in first; the slot thread looks at it only once
      // it sees kServing. A thread that began to end meanwhile wins the race
      // and the connection comes back.
      slot.connection = std::move(connection);
      slot.timeout.store(kTimeoutSeconds);
      State expected = State::kWaiting;
      if (slot.state.compare_exchange_strong(expected, State::kServing)) {
        slot.start_event.Set();
        return slot.thread_number;
      }
      connection = std::move(slot.connection);
    }
  }
  connection->Close();
  return -1;
}

void ConnectionSlots::RestartEnded() {
  if (!running_) return;
  for (ConnectionSlot& slot : slots_) {
    if (slot.thread_ended()) StartSlot(slot);
  }
}

void ConnectionSlots::Watchdog() {
  if (!running_) return;
  for (ConnectionSlot& slot : slots_) {
    if (slot.state.load() != State::kServing) continue;
    int left = slot.timeout.load();
    if (left <= 0) continue;
    if (left < 3) {
      // Logged before the event is set, so this record precedes the slot's own.
      if (values_.log != nullptr) {
        values_.log->Logf(kLogWarning, "terminating thread %d due to time out", slot.thread_number);
      }
      slot.terminate_event.Set();
    } else {
      // A read with data may have reset the counter meanwhile; that wins.
      slot.timeout.compare_exchange_strong(left, left - 1);
    }
  }
}

void ConnectionSlots::StopAll() {
  if (!running_) return;
  running_ = false;
  stop_event_->Set();
  platform::WaitForAny({&all_ended_}, kStopGrace);
  // Every slot thread is gone before any connection or session is released.
  for (ConnectionSlot& slot : slots_) slot.thread.Join();
  for (ConnectionSlot& slot : slots_) {
    if (slot.connection != nullptr) {
      slot.connection->Close();
      slot.connection.reset();
    }
    slot.state.store(State::kNotStarted);
    slot.timeout.store(0);
  }
  stop_event_ = nullptr;
  factory_ = nullptr;
}

void ConnectionSlots::SetRemotePassword(const std::string& digest) {
  for (ConnectionSlot& slot : slots_) slot.remote_password.Set(digest);
}

int ConnectionSlots::ServingCount() const {
  int count = 0;
  for (const ConnectionSlot& slot : slots_) count += slot.state.load() == State::kServing ? 1 : 0;
  return count;
}

void ConnectionSlots::PostToMain(std::uint32_t message, int thread_number) const {
  if (values_.main_window != nullptr) values_.main_window->Post(message, thread_number);
}

void ConnectionSlots::ThreadEnded() {
  if (live_threads_.fetch_sub(1) == 1) all_ended_.Set();
}

void ConnectionSlots::SlotThread(ConnectionSlot& slot) {
  std::unique_ptr<ISessionHandler> session = factory_ ? factory_() : nullptr;
  EndReason reason = EndReason::kIdle;
  bool serve = false;
  while (!serve && reason == EndReason::kIdle) {
    int which = platform::WaitForAny({stop_event_, &slot.terminate_event, &slot.start_event});
    if (which == 2) {
      serve = true;  // the hand-off set kServing before the event
    } else if (which == 0 || which == 1) {
      State expected = State::kWaiting;
      if (slot.state.compare_exchange_strong(expected, State::kEnding)) {
        reason = EndReason::kStopped;
      } else if (which == 0) {
        // A connection arrived together with the stop: it stays in the slot.
        slot.state.store(State::kEnding);
        reason = EndReason::kStopped;
      } else {
        serve = true;  // a stale terminate request; the hand-off won
      }
    }
  }

  bool connected = false;
  if (serve) {
    slot.start_event.Reset();
    slot.terminate_event.Reset();  // a stale terminate request is dropped
    SlotValues values = values_;
    values.connection = slot.connection.get();
    values.thread_number = slot.thread_number;
    values.remote_password = &slot.remote_password;
    if (session != nullptr) session->OnConnection(values);
    connected = true;
    if (values_.log != nullptr) {
      values_.log->Logf(kLogInfo, "Client accepted Thread %d, Port %d", slot.thread_number,
                        slot.connection->PeerPort());
    }
    reason = Serve(slot, session.get());
  }

  slot.state.store(State::kEnding);
  // The session ends while its connection still exists (its logout line
  // names the peer), and before the connection is released.
  if (session != nullptr) {
    if (connected) session->OnConnectionEnd();
    session.reset();
  }
  if (reason == EndReason::kClosed || reason == EndReason::kTerminated) {
    slot.connection->Close();
    slot.connection.reset();
  }
  ThreadEnded();
  slot.state.store(State::kEnded);  // last write of this thread
}

ConnectionSlots::EndReason ConnectionSlots::Serve(ConnectionSlot& slot, ISessionHandler* session) {
  std::uint8_t buffer[kStreamReadSize];
  std::memset(buffer, 0, sizeof buffer);
  const int fd = slot.connection->fd();
  for (;;) {
    int which = platform::WaitForAny({stop_event_, &slot.terminate_event}, std::nullopt, fd);
    if (which == 0) {
      slot.state.store(State::kEnding);
      ReadAndDispatch(slot, session, buffer);  // a last frame that already arrived
      return EndReason::kStopped;
    }
    if (which == 1) {
      slot.state.store(State::kEnding);
      if (values_.log != nullptr) {
        values_.log->Logf(kLogInfo, "Thread %d will be terminated", slot.thread_number);
      }
      PostToMain(WM_THREAD_TERMINATED, slot.thread_number);
      ReadAndDispatch(slot, session, buffer);
      return EndReason::kTerminated;
    }
    if (which == platform::kWaitReadable && ReadAndDispatch(slot, session, buffer)) {
      slot.state.store(State::kEnding);
      PostToMain(WM_CLIENT_CLOSED, slot.thread_number);
      if (values_.log != nullptr) {
        values_.log->Logf(kLogInfo, "Client closed, Thread %d wll end", slot.thread_number);
      }
      return EndReason::kClosed;
    }
  }
}

bool ConnectionSlots::ReadAndDispatch(ConnectionSlot& slot, ISessionHandler* session,
                                      std::uint8_t* buffer) {
  CSocketClass::ReceiveResult got =
      slot.connection->Receive(std::span<std::uint8_t>(buffer, kStreamReadSize));
  if (got.bytes == 0) return got.closed;
  // Bytes a short read left from an earlier frame never complete this one.
  if (got.bytes < kMaxFrameSize) std::memset(buffer + got.bytes, 0, kMaxFrameSize - got.bytes);
  if (session != nullptr) session->OnReceive(buffer, got.bytes);
  slot.timeout.store(kTimeoutSeconds);
  return false;
}

}  // namespace kestrel
