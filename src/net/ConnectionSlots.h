#pragma once
// The fixed pool of 250 connection slots. Each slot has one thread that waits
// idle for a connection, serves it with its own session handler and, when it
// ended, waits at once for the next one with a fresh handler. The one-second
// timer starts a fresh thread for every slot whose thread ended (it failed to
// start), and a watchdog ends connections that stay silent or do not log in.
//
// Connections that have not logged in are cheap to open, so they are capped:
// per source address and in total (SlotLimits). A new connection beyond its
// source's cap is closed at once; one beyond the total cap takes the place
// of a connection not logged in from the source that holds most of them.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "logging/LogChannel.h"
#include "net/SessionInterface.h"
#include "net/SocketClass.h"
#include "net/SourceAddress.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Thread.h"
#include "support/TempNames.h"  // kTransferSlotCount

namespace kestrel {

// Bounds for connections that have not logged in; 0 or less: no bound.
struct SlotLimits {
  int login_grace_seconds = 0;      // closed when not logged in after this long
  int max_startups_per_source = 0;  // at once from one source address
  int max_startups = 0;             // at once in total
};

// What the slots report to and run by. Pointers are borrowed: they must stay
// valid until StopAll returns.
struct SlotEnvironment {
  platform::MessageLoop* main_window = nullptr;  // WM_CLIENT_CLOSED, WM_THREAD_TERMINATED
  const LogChannel* log = nullptr;
  const platform::Clock* clock = nullptr;  // the login grace; system clock when null
  SlotLimits limits;
};

struct ConnectionSlot {
  // Waiting: idle, no connection. Serving: a connection was handed over.
  // Ending: the connection or the thread is ending (never chosen for a
  // hand-off); from there a thread whose connection ended is Waiting again.
  // Ended: the thread is done; the timer starts a new one.
  enum class State : std::uint8_t { kNotStarted, kWaiting, kServing, kEnding, kEnded };

  bool idle() const { return state.load() != State::kServing; }
  bool finished() const {
    State s = state.load();
    return s == State::kEnding || s == State::kEnded;
  }
  bool thread_ended() const { return state.load() == State::kEnded; }

  int thread_number = 0;  // set once at construction of the pool
  // Main thread: Waiting -> Serving (hand-off), NotStarted/Ended -> Waiting
  // (slot start). Slot thread: -> Ending; Ending -> Waiting once the
  // connection is released, or Ended as its very last write.
  std::atomic<State> state{State::kNotStarted};
  // Watchdog seconds left: -1 off, 180 at hand-off and after every read that
  // completed a valid frame (slot thread), counted down by the watchdog.
  std::atomic<int> timeout{0};
  // Whether the session is logged in (slot thread after each read; false at
  // hand-off), and since when it is not (steady nanoseconds; hand-off, and
  // the slot thread at a logout).
  std::atomic<bool> authenticated{false};
  std::atomic<std::int64_t> unauthenticated_since{0};
  // Order of the last sign of life (hand-off or valid frame): smaller is idle longer.
  std::atomic<std::uint64_t> last_activity{0};
  // Main thread only: the connection's source, and whether it was told to go
  // (it no longer counts against the caps).
  SourceAddress source;
  bool dropping = false;
  // Owned by the slot from the hand-off. Main thread while Waiting and after
  // the thread was joined; the slot thread while it serves.
  std::unique_ptr<CSocketClass> connection;
  platform::Event start_event{platform::Event::Mode::kAutoReset};
  platform::Event terminate_event{platform::Event::Mode::kAutoReset};
  platform::Thread thread;  // main thread only
};

class ConnectionSlots {
 public:
  static constexpr int kSlotCount = kTransferSlotCount;  // one per connection number
  static constexpr int kTimeoutSeconds = 180;
  static constexpr std::size_t kSlotStackSize = 256 * 1024;
  static constexpr std::chrono::milliseconds kStopGrace{5000};

  ConnectionSlots();
  // Stops the slots if they still run (the stop event must still exist then).
  ~ConnectionSlots();
  ConnectionSlots(const ConnectionSlots&) = delete;
  ConnectionSlots& operator=(const ConnectionSlots&) = delete;

  // Main thread, all below.
  // Starts the 250 slot threads. stop_event: borrowed manual-reset event,
  // must outlive StopAll; reset here. factory builds one session handler per
  // slot thread; it may be empty (connections are then only read).
  bool StartAll(const SlotEnvironment& environment, platform::Event* stop_event,
                SessionFactory factory);

  // Gives the connection to the lowest slot that is idle and not finished and
  // returns its index; -1 when there is none (or the slots do not run): the
  // connection is then closed and released at once, nothing is logged.
  int HandOff(std::unique_ptr<CSocketClass> connection);

  // The one-second timer, in this order. The caller skips both while
  // stopping; neither does anything when the slots do not run.
  void RestartEnded();  // a fresh thread for every slot whose thread ended
  // Counts busy slots down and terminates silent ones and those not logged
  // in within the login grace.
  void Watchdog();

  // Signals the stop event, waits up to kStopGrace for the slot threads,
  // joins every one of them, then closes and releases the connections still
  // held by slots. Afterwards no slot is free until the next StartAll.
  void StopAll();

  bool running() const { return running_; }
  const ConnectionSlot& slot(int index) const { return slots_[static_cast<std::size_t>(index)]; }
  int ServingCount() const;

 private:
  enum class EndReason { kStopped, kClosed, kTerminated };

  void StartSlot(ConnectionSlot& slot);
  // Whether a new connection from source may have a slot; may tell the
  // longest idle connection that has not logged in to go.
  bool AdmitUnauthenticated(const SourceAddress& source);
  void Terminate(ConnectionSlot& slot);  // watchdog's end of a connection
  std::int64_t SteadyNow() const;
  void SlotThread(ConnectionSlot& slot);
  std::unique_ptr<ISessionHandler> NewSession() const;
  EndReason Serve(ConnectionSlot& slot, ISessionHandler* session);
  // One non-blocking read handed to the session; true when the peer closed.
  bool ReadAndDispatch(ConnectionSlot& slot, ISessionHandler* session, std::uint8_t* buffer);
  // The session's login state as the caps see it (slot thread).
  void NoteLogin(ConnectionSlot& slot, bool authenticated) const;
  void PostToMain(std::uint32_t message, int thread_number) const;
  void ThreadEnded();

  std::array<ConnectionSlot, kSlotCount> slots_;
  // Written by StartAll before any slot thread starts; read-only while running.
  SlotEnvironment environment_;
  SessionFactory factory_;
  platform::Event* stop_event_ = nullptr;  // borrowed from the main window
  bool running_ = false;                   // main thread only
  std::atomic<int> live_threads_{0};
  std::atomic<std::uint64_t> activity_order_{0};
  platform::Event all_ended_{platform::Event::Mode::kManualReset};
};

}  // namespace kestrel
