#pragma once
// A test stand-in for the main window around the connection slots: a real
// message loop on its own thread (the "main thread") with the listener, the
// slot pool and a one-second timer driven by a TestClock, plus a logging
// loop that collects every record posted through the LogChannel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "net/ConnectionSlots.h"
#include "net/Frame.h"
#include "net/Listener.h"
#include "net/SessionInterface.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "support/WindowMessages.h"

namespace kestrel::test {

// Polls pred (real time) until it holds or the limit passes.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct CapturedRecord {
  std::string text;
  int level;
};

// The logging window of a test: records arrive as WM_LOG_RECORD on its own loop.
class LogCapture {
 public:
  explicit LogCapture(platform::Clock& clock) : loop_(clock) {
    loop_.SetHandler([this](platform::Message& m) -> std::intptr_t {
      if (m.id != WM_LOG_RECORD) return 0;
      if (auto record = m.Take<LogRecord>()) {
        std::lock_guard<std::mutex> lock(mu_);
        records_.push_back({record->text, record->level});
      }
      return 0;
    });
    thread_ = std::thread([this] { loop_.Run(); });
    channel_.Attach(&loop_);
  }
  ~LogCapture() {
    channel_.Detach();
    loop_.Quit();
    thread_.join();
  }
  const LogChannel& channel() const { return channel_; }
  std::vector<CapturedRecord> Records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const CapturedRecord& r : Records()) n += r.text == text ? 1 : 0;
    return n;
  }
  bool WaitFor(const std::string& text, int count = 1) const {
    return WaitUntil([&] { return Count(text) >= count; });
  }
  // Index of the first record with this text, -1 when absent.
  int IndexOf(const std::string& text) const {
    std::vector<CapturedRecord> all = Records();
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].text == text) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  platform::MessageLoop loop_;
  LogChannel channel_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<CapturedRecord> records_;  // guarded by mu_
};

// Counts what a session handler saw; shared by all handlers of one pool.
struct SessionStats {
  std::atomic<int> alive{0};
  std::atomic<int> connections{0};
  std::atomic<int> receives{0};
  std::atomic<int> ends{0};
  std::atomic<int> ends_with_open_connection{0};
  std::atomic<int> replies_sent{0};
};

// Answers a ping with the echo reply and a 5-byte chunk request (0x31) with a
// 1287-byte download chunk; counts everything.
class TestSession final : public ISessionHandler {
 public:
  explicit TestSession(SessionStats& stats) : stats_(stats) { ++stats_.alive; }
  ~TestSession() override { --stats_.alive; }
  void OnConnection(CSocketClass* connection, int) override {
    connection_ = connection;
    ++stats_.connections;
  }
  std::size_t OnReceive(const std::uint8_t* buffer, std::size_t bytes) override {
    ++stats_.receives;
    if (!IsValidFrame(buffer, bytes)) return 0;
    std::size_t size = 0;
    if (FrameType(buffer) == PacketType::kPing) {
      size = BuildReply(PacketType::kPing, kReplyEcho, out_);
    } else if (FrameType(buffer) == PacketType::kNextDownloadChunk) {
      const std::uint8_t count[] = {0x05, 0x00};
      size = BuildBulkReply(PacketType::kNextDownloadChunk, count, block_, out_);
    }
    if (size != 0 && connection_->Send(out_, size)) ++stats_.replies_sent;
    return 1;
  }
  bool authenticated() const override { return false; }
  void OnConnectionEnd() override {
    ++stats_.ends;
    if (connection_ != nullptr && connection_->IsOpen() && connection_->PeerPort() != 0) {
      ++stats_.ends_with_open_connection;
    }
  }

 private:
  SessionStats& stats_;
  CSocketClass* connection_ = nullptr;  // borrowed from the slot, valid until thread end
  std::uint8_t out_[kBulkDownloadFrameSize] = {};
  std::uint8_t block_[kBulkBlockSize] = {};
};

// The main window of a test.
class SlotServer {
 public:
  explicit SlotServer(bool start_slots = true)
      : clock_(platform::LocalTime{2024, 3, 1, 12, 0, 0, 5}),
        main_(clock_),
        log_(clock_),
        stop_event_(platform::Event::Mode::kManualReset) {
    main_.SetHandler([this](platform::Message& m) { return Handle(m); });
    thread_ = std::thread([this] { main_.Run(); });
    main_.Invoke([&] {
      listening_ = listener_.Listen(&main_, 0);
      main_.SetTimer(1, std::chrono::milliseconds(1000));
    });
    if (start_slots) StartSlots();
  }
  ~SlotServer() {
    Stop();
    main_.Quit();
    thread_.join();
  }

  void StartSlots() {
    main_.Invoke([&] {
      SlotEnvironment environment;
      environment.main_window = &main_;
      environment.log = &log_.channel();
      environment.clock = &clock_;
      slots_.StartAll(environment, &stop_event_,
                      [this] { return std::make_unique<TestSession>(stats_); });
    });
  }
  // What StopServer does for the network: no new connections, then the slots.
  void Stop() {
    main_.Invoke([&] {
      main_.KillTimer(1);
      listener_.Close();
      slots_.StopAll();
    });
  }
  // n ticks of the one-second timer; returns once the main thread ran them.
  void Tick(int n = 1) {
    clock_.Advance(std::chrono::seconds(n));
    main_.Invoke([] {});
  }

  bool listening() const { return listening_; }
  std::uint16_t port() const { return listener_.LocalPort(); }
  ConnectionSlots& slots() { return slots_; }
  LogCapture& log() { return log_; }
  SessionStats& stats() { return stats_; }
  platform::MessageLoop& main() { return main_; }

  std::vector<int> HandOffs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return handoffs_;
  }
  bool WaitHandOffs(std::size_t n) const {
    return WaitUntil([&] { return HandOffs().size() >= n; });
  }
  int closed_messages() const { return closed_messages_.load(); }
  int terminated_messages() const { return terminated_messages_.load(); }

 private:
  std::intptr_t Handle(platform::Message& m) {
    switch (m.id) {
      case WM_SOCKET_NEW_CONNECTION: {
        auto record = m.Take<NewConnectionRecord>();
        int slot = record ? slots_.HandOff(std::move(record->connection)) : -1;
        std::lock_guard<std::mutex> lock(mu_);
        handoffs_.push_back(slot);
        return 0;
      }
      case WM_CLIENT_CLOSED:
        ++closed_messages_;
        return 0;
      case WM_THREAD_TERMINATED:
        ++terminated_messages_;
        return 0;
      case WM_TIMER:
        slots_.RestartEnded();
        slots_.Watchdog();
        return 0;
      default:
        return 0;
    }
  }

  platform::TestClock clock_;
  platform::MessageLoop main_;
  LogCapture log_;
  SessionStats stats_;
  platform::Event stop_event_;
  Listener listener_;
  ConnectionSlots slots_;
  std::thread thread_;
  bool listening_ = false;
  mutable std::mutex mu_;
  std::vector<int> handoffs_;  // guarded by mu_
  std::atomic<int> closed_messages_{0};
  std::atomic<int> terminated_messages_{0};
};

// A raw client socket connected to the test server.
inline platform::TcpSocket ConnectTo(std::uint16_t port) {
  platform::TcpSocket s;
  EXPECT_EQ(s.Connect("127.0.0.1", port, std::chrono::milliseconds(2000)), 0);
  return s;
}

// True when the server closed this client's connection within the limit.
inline bool SeesClose(platform::TcpSocket& s,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  std::uint8_t buffer[1500];
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    auto got = s.ReadWait(buffer, std::chrono::milliseconds(50));
    if (got.closed || (got.error != 0 && got.error != platform::wsa::kEWOULDBLOCK)) return true;
  }
  return false;
}

}  // namespace kestrel::test
