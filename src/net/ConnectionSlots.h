#pragma once
// The fixed pool of 250 connection slots. Each slot has one thread that waits
// idle for a connection, serves exactly one connection with its own session
// handler and then ends; the one-second timer starts a fresh thread for every
// slot whose thread ended, and a watchdog ends connections that stay silent.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "config/SharedText.h"
#include "net/SessionInterface.h"
#include "net/SocketClass.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "support/TempNames.h"  // kTransferSlotCount

namespace kestrel {

struct ConnectionSlot {
  // Waiting: idle, no connection. Serving: a connection was handed over.
  // Ending: the thread has begun to end (never chosen for a hand-off).
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
  // (slot start). Slot thread: -> Ending, then Ended as its very last write.
  std::atomic<State> state{State::kNotStarted};
  // Watchdog seconds left: -1 off, 180 at hand-off and after every read with
  // data (slot thread), counted down by the watchdog (main thread).
  std::atomic<int> timeout{0};
  // Owned by the slot from the hand-off. Main thread while Waiting and after
  // the thread was joined; the slot thread while it serves.
  std::unique_ptr<CSocketClass> connection;
  platform::Event start_event{platform::Event::Mode::kAutoReset};
  platform::Event terminate_event{platform::Event::Mode::kAutoReset};
  SharedText remote_password;  // the slot's copy of PasswordRemote; any thread
  platform::Thread thread;     // main thread only
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
  // Starts the 250 slot threads. values: copied; its borrowed pointers must
  // stay valid until StopAll returns; connection, thread_number and
  // remote_password are filled per slot (each slot copies *remote_password
  // at its start). stop_event: borrowed manual-reset event, must outlive
  // StopAll; reset here. factory builds one session handler per slot
  // thread; it may be empty (connections are then only read).
  bool StartAll(const SlotValues& values, platform::Event* stop_event, SessionFactory factory);

  // Gives the connection to the lowest slot that is idle and not finished and
  // returns its index; -1 when there is none (or the slots do not run): the
  // connection is then closed and released at once, nothing is logged.
  int HandOff(std::unique_ptr<CSocketClass> connection);

  // The one-second timer, in this order. The caller skips both while
  // stopping; neither does anything when the slots do not run.
  void RestartEnded();  // a fresh thread for every slot whose thread ended
  void Watchdog();      // counts busy slots down and terminates silent ones

  // Signals the stop event, waits up to kStopGrace for the slot threads,
  // joins every one of them, then closes and releases the connections still
  // held by slots. Afterwards no slot is free until the next StartAll.
  void StopAll();

  // New PasswordRemote digest for every slot's copy (running sessions see it).
  void SetRemotePassword(const std::string& digest);

  bool running() const { return running_; }
  const ConnectionSlot& slot(int index) const { return slots_[static_cast<std::size_t>(index)]; }
  int ServingCount() const;

 private:
  enum class EndReason { kIdle, kStopped, kClosed, kTerminated };

  void StartSlot(ConnectionSlot& slot);
  void SlotThread(ConnectionSlot& slot);
  EndReason Serve(ConnectionSlot& slot, ISessionHandler* session);
  // One non-blocking read handed to the session; true when the peer closed.
  bool ReadAndDispatch(ConnectionSlot& slot, ISessionHandler* session, std::uint8_t* buffer);
  void PostToMain(std::uint32_t message, int thread_number) const;
  void ThreadEnded();

  std::array<ConnectionSlot, kSlotCount> slots_;
  // Written by StartAll before any slot thread starts; read-only while running.
  SlotValues values_;
  SessionFactory factory_;
  platform::Event* stop_event_ = nullptr;  // borrowed from the main window
  bool running_ = false;                   // main thread only
  std::atomic<int> live_threads_{0};
  platform::Event all_ended_{platform::Event::Mode::kManualReset};
};

}  // namespace kestrel
