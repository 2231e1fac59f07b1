#include "net/ConnectionSlots.h"

#include <algorithm>
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

bool ConnectionSlots::StartAll(const SlotEnvironment& environment, platform::Event* stop_event,
                               SessionFactory factory) {
  if (running_ || stop_event == nullptr) return false;
  environment_ = environment;
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
  // A connection reset before it was accepted has no peer left: nothing to serve.
  if (running_ && !connection->PeerAddress().empty()) {
    const SourceAddress source = SourceAddressOf(connection->PeerAddress());
    bool admitted = false;
    for (ConnectionSlot& slot : slots_) {
      if (slot.state.load() != State::kWaiting) continue;
      if (!admitted && !AdmitUnauthenticated(source)) break;
      admitted = true;
      // The connection goes in first; the slot thread looks at it only once
      // it sees kServing. A thread that began to end meanwhile wins the race
      // and the connection comes back.
      slot.connection = std::move(connection);
      slot.timeout.store(kTimeoutSeconds);
      slot.authenticated.store(false);
      slot.unauthenticated_since.store(SteadyNow());
      slot.last_activity.store(++activity_order_);
      slot.source = source;
      slot.dropping = false;
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

// Honest clients log in within milliseconds of connecting, while a flood
// comes from few sources that hold many connections. Beyond the total cap
// the newcomer is served and a connection of the source holding the most
// connections not logged in goes, the one idle longest among them; closing
// the newcomer instead would let anyone who holds the total cap from a few
// addresses lock everybody out.
bool ConnectionSlots::AdmitUnauthenticated(const SourceAddress& source) {
  const SlotLimits& limits = environment_.limits;
  if (limits.max_startups_per_source <= 0 && limits.max_startups <= 0) return true;
  // A still picture: the slot threads move last_activity meanwhile.
  struct Waiting {
    SourceAddress source;
    std::uint64_t last_activity;
    ConnectionSlot* slot;
  };
  std::array<Waiting, kSlotCount> waiting{};
  std::size_t total = 0;
  int from_source = 0;
  for (ConnectionSlot& slot : slots_) {
    if (slot.state.load() != State::kServing || slot.dropping || slot.authenticated.load()) {
      continue;
    }
    waiting[total++] = Waiting{slot.source, slot.last_activity.load(), &slot};
    if (slot.source == source) ++from_source;
  }
  if (limits.max_startups_per_source > 0 && from_source >= limits.max_startups_per_source) {
    return false;
  }
  if (limits.max_startups > 0 && total >= static_cast<std::size_t>(limits.max_startups)) {
    // Grouped by source, each group idlest first; of equally large groups,
    // the one holding the idlest connection.
    const auto first = waiting.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(total);
    std::sort(first, last, [](const Waiting& a, const Waiting& b) {
      if (a.source.key != b.source.key) return a.source.key < b.source.key;
      return a.last_activity < b.last_activity;
    });
    const Waiting* drop = &*first;
    std::ptrdiff_t largest = 0;
    for (auto group = first; group != last;) {
      const auto end = std::find_if(
          group, last, [&](const Waiting& w) { return w.source.key != group->source.key; });
      if (end - group > largest ||
          (end - group == largest && group->last_activity < drop->last_activity)) {
        largest = end - group;
        drop = &*group;
      }
      group = end;
    }
    drop->slot->dropping = true;
    drop->slot->terminate_event.Set();
  }
  return true;
}

void ConnectionSlots::RestartEnded() {
  if (!running_) return;
  for (ConnectionSlot& slot : slots_) {
    if (slot.thread_ended()) StartSlot(slot);
  }
}

void ConnectionSlots::Watchdog() {
  if (!running_) return;
  const int grace = environment_.limits.login_grace_seconds;
  const std::int64_t now = SteadyNow();
  const std::int64_t grace_ns = std::chrono::nanoseconds(std::chrono::seconds(grace)).count();
  for (ConnectionSlot& slot : slots_) {
    if (slot.state.load() != State::kServing) continue;
    if (grace > 0 && !slot.authenticated.load() &&
        now - slot.unauthenticated_since.load() >= grace_ns) {
      Terminate(slot);
      continue;
    }
    int left = slot.timeout.load();
    if (left <= 0) continue;
    if (left < 3) {
      Terminate(slot);
    } else {
      // A read with data may have reset the counter meanwhile; that wins.
      slot.timeout.compare_exchange_strong(left, left - 1);
    }
  }
}

void ConnectionSlots::Terminate(ConnectionSlot& slot) {
  // Logged before the event is set, so this record precedes the slot's own.
  if (environment_.log != nullptr) {
    environment_.log->Logf(kLogWarning, "terminating thread %d due to time out",
                           slot.thread_number);
  }
  slot.dropping = true;
  slot.terminate_event.Set();
}

std::int64_t ConnectionSlots::SteadyNow() const {
  const platform::Clock::SteadyTime now = environment_.clock != nullptr
                                              ? environment_.clock->Steady()
                                              : std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
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

int ConnectionSlots::ServingCount() const {
  int count = 0;
  for (const ConnectionSlot& slot : slots_) count += slot.state.load() == State::kServing ? 1 : 0;
  return count;
}

void ConnectionSlots::PostToMain(std::uint32_t message, int thread_number) const {
  if (environment_.main_window != nullptr) environment_.main_window->Post(message, thread_number);
}

void ConnectionSlots::ThreadEnded() {
  if (live_threads_.fetch_sub(1) == 1) all_ended_.Set();
}

std::unique_ptr<ISessionHandler> ConnectionSlots::NewSession() const {
  return factory_ ? factory_() : nullptr;
}

void ConnectionSlots::SlotThread(ConnectionSlot& slot) {
  std::unique_ptr<ISessionHandler> session = NewSession();
  for (;;) {
    bool serve = false;
    bool stopped = false;
    while (!serve && !stopped) {
      int which = platform::WaitForAny({stop_event_, &slot.terminate_event, &slot.start_event});
      if (which == 0) {
        // A connection that arrived together with the stop stays in the slot.
        State expected = State::kWaiting;
        if (!slot.state.compare_exchange_strong(expected, State::kEnding)) {
          slot.state.store(State::kEnding);
        }
        stopped = true;
      } else if (which == 1) {
        // A terminate request for the connection before: stale, unless a
        // hand-off came meanwhile.
        serve = slot.state.load() == State::kServing;
      } else if (which == 2) {
        serve = true;  // the hand-off set kServing before the event
      }
    }
    if (stopped) break;

    slot.start_event.Reset();
    slot.terminate_event.Reset();  // a stale terminate request is dropped
    if (session != nullptr) {
      session->SetLoginObserver(
          [this, &slot](bool authenticated) { NoteLogin(slot, authenticated); });
      session->OnConnection(slot.connection.get(), slot.thread_number);
    }
    if (environment_.log != nullptr) {
      environment_.log->Logf(kLogInfo, "Client accepted Thread %d, Port %d", slot.thread_number,
                             slot.connection->PeerPort());
    }
    const EndReason reason = Serve(slot, session.get());

    slot.state.store(State::kEnding);
    // The session ends while its connection still exists (its logout line
    // names the peer), and before the connection is released.
    if (session != nullptr) {
      session->OnConnectionEnd();
      session.reset();
    }
    if (reason == EndReason::kStopped) break;  // the connection stays for StopAll
    slot.connection->Close();
    slot.connection.reset();
    slot.timeout.store(-1);
    // Ready for the next connection at once, with a fresh session handler.
    session = NewSession();
    slot.state.store(State::kWaiting);
  }
  session.reset();
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
      if (environment_.log != nullptr) {
        environment_.log->Logf(kLogInfo, "Thread %d will be terminated", slot.thread_number);
      }
      PostToMain(WM_THREAD_TERMINATED, slot.thread_number);
      ReadAndDispatch(slot, session, buffer);
      return EndReason::kTerminated;
    }
    if (which == platform::kWaitReadable && ReadAndDispatch(slot, session, buffer)) {
      slot.state.store(State::kEnding);
      PostToMain(WM_CLIENT_CLOSED, slot.thread_number);
      if (environment_.log != nullptr) {
        environment_.log->Logf(kLogInfo, "Client closed, Thread %d wll end", slot.thread_number);
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
  // Only complete valid frames are a sign of life; without a session every
  // read is.
  const std::size_t frames = session != nullptr ? session->OnReceive(buffer, got.bytes) : 1;
  if (frames > 0) {
    slot.timeout.store(kTimeoutSeconds);
    slot.last_activity.store(++activity_order_);
  }
  if (session != nullptr) NoteLogin(slot, session->authenticated());
  return false;
}

void ConnectionSlots::NoteLogin(ConnectionSlot& slot, bool authenticated) const {
  if (authenticated == slot.authenticated.load()) return;
  if (!authenticated) slot.unauthenticated_since.store(SteadyNow());  // a logout
  slot.authenticated.store(authenticated);
}

}  // namespace kestrel
