// Network transport: a bare TCP ping-pong with the protocol's frame sizes
// (5-byte request, 1287-byte download chunk reply) beside the connection slot
// pool serving the same exchange; hand-off latency; resident memory of 250
// idle slot threads and 250 idle connections.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "net/ConnectionSlots.h"
#include "net/Frame.h"
#include "net/Listener.h"
#include "net/SessionInterface.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "support/WindowMessages.h"

namespace {

using namespace kestrel;
using std::chrono::milliseconds;

constexpr std::uint8_t kChunkRequest[5] = {0xAA, 0x55, 0x31, 0x00, 0xCE};

// The reply every server below sends for a chunk request.
std::vector<std::uint8_t> ChunkReply() {
  std::vector<std::uint8_t> out(kBulkDownloadFrameSize);
  const std::uint8_t count[] = {0x05, 0x00};
  std::vector<std::uint8_t> block(kBulkBlockSize, 0x42);
  BuildBulkReply(PacketType::kNextDownloadChunk, count, block, out);
  return out;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Reads exactly n bytes (blocking, bounded); false on close or time-out.
bool ReadExactly(platform::TcpSocket& s, std::uint8_t* out, std::size_t n) {
  std::size_t have = 0;
  while (have < n) {
    auto got = s.ReadWait(std::span<std::uint8_t>(out + have, n - have), milliseconds(5000));
    if (got.bytes == 0) return false;
    have += got.bytes;
  }
  return true;
}

// ---- Bare baseline: one blocking thread per connection, one send per reply.
class BareServer {
 public:
  explicit BareServer(bool two_sends = false) : two_sends_(two_sends) {
    listener_.Listen(0, 512);
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~BareServer() {
    stopping_ = true;
    listener_.Shutdown();
    accept_thread_.join();
    for (auto& s : peers_) s->Shutdown();
    for (auto& t : threads_) t.join();
  }
  std::uint16_t port() const { return listener_.LocalPort(); }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      auto peer = std::make_unique<platform::TcpSocket>();
      if (listener_.Accept(*peer) != 0) return;
      if (!two_sends_) peer->SetNoDelay(true);
      platform::TcpSocket* raw = peer.get();
      peers_.push_back(std::move(peer));
      threads_.emplace_back([this, raw] { Serve(*raw); });
    }
  }
  void Serve(platform::TcpSocket& peer) {
    const std::vector<std::uint8_t> reply = ChunkReply();
    std::uint8_t request[kReceiveBufferSize];
    for (;;) {
      pollfd p{peer.fd(), POLLIN, 0};
      if (::poll(&p, 1, -1) <= 0) return;
      auto got = peer.ReadSome(request);
      if (got.closed || got.error != 0) return;
      if (got.bytes == 0) continue;
      if (two_sends_) {
        // Frame and block in two calls: the second waits for the peer's delayed ACK.
        peer.SendAll(std::span<const std::uint8_t>(reply.data(), 7));
        peer.SendAll(std::span<const std::uint8_t>(reply.data() + 7, reply.size() - 7));
      } else {
        peer.SendAll(reply);
      }
    }
  }

  bool two_sends_;
  std::atomic<bool> stopping_{false};
  platform::TcpSocket listener_;
  std::thread accept_thread_;
  std::vector<std::unique_ptr<platform::TcpSocket>> peers_;  // accept thread until joined
  std::vector<std::thread> threads_;                         // accept thread until joined
};

// ---- The slot pool with a session that answers chunk requests.
class ChunkSession final : public ISessionHandler {
 public:
  ChunkSession() : reply_(ChunkReply()) {}
  void OnConnection(CSocketClass* connection, int) override { connection_ = connection; }
  std::size_t OnReceive(const std::uint8_t* buffer, std::size_t bytes) override {
    if (!IsValidFrame(buffer, bytes)) return 0;
    if (FrameType(buffer) == PacketType::kNextDownloadChunk) {
      connection_->Send(reply_.data(), reply_.size());
    }
    return 1;
  }
  bool authenticated() const override { return false; }
  void OnConnectionEnd() override {}

 private:
  CSocketClass* connection_ = nullptr;  // borrowed from the slot until thread end
  std::vector<std::uint8_t> reply_;
};

class SlotPoolServer {
 public:
  SlotPoolServer() : main_(platform::SystemClock::Instance()) {
    main_.SetHandler([this](platform::Message& m) -> std::intptr_t {
      if (m.id == WM_SOCKET_NEW_CONNECTION) {
        if (auto record = m.Take<NewConnectionRecord>()) {
          if (slots_.HandOff(std::move(record->connection)) >= 0) ++handed_;
        }
      }
      return 0;
    });
    thread_ = std::thread([this] { main_.Run(); });
    main_.Invoke([this] {
      listener_.Listen(&main_, 0);
      SlotEnvironment environment;
      environment.main_window = &main_;
      slots_.StartAll(environment, &stop_, [] { return std::make_unique<ChunkSession>(); });
    });
  }
  ~SlotPoolServer() {
    main_.Invoke([this] {
      listener_.Close();
      slots_.StopAll();
    });
    main_.Quit();
    thread_.join();
  }
  std::uint16_t port() const { return listener_.LocalPort(); }
  int handed() const { return handed_.load(); }
  void RestartEnded() {
    main_.Invoke([this] { slots_.RestartEnded(); });
  }

 private:
  platform::MessageLoop main_;
  platform::Event stop_{platform::Event::Mode::kManualReset};
  Listener listener_;
  ConnectionSlots slots_;
  std::thread thread_;
  std::atomic<int> handed_{0};
};

std::vector<platform::TcpSocket> ConnectClients(std::uint16_t port, int n) {
  std::vector<platform::TcpSocket> clients(static_cast<std::size_t>(n));
  for (auto& c : clients) {
    c.Connect("127.0.0.1", port, milliseconds(5000));
    c.SetNoDelay(true);
  }
  return clients;
}

// One iteration: every client sends a chunk request, then every reply is read.
void RoundTrips(benchmark::State& state, std::uint16_t port) {
  const int n = static_cast<int>(state.range(0));
  std::vector<platform::TcpSocket> clients = ConnectClients(port, n);
  std::uint8_t reply[kBulkDownloadFrameSize];
  for (auto _ : state) {
    for (auto& c : clients) c.SendAll(kChunkRequest);
    for (auto& c : clients) {
      if (!ReadExactly(c, reply, sizeof reply)) {
        state.SkipWithError("reply missing");
        return;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.SetBytesProcessed(state.iterations() * n * static_cast<std::int64_t>(sizeof reply));
}

void BM_BarePingPong(benchmark::State& state) {
  BareServer server;
  RoundTrips(state, server.port());
}
BENCHMARK(BM_BarePingPong)->Arg(1)->Arg(32)->Arg(250)->UseRealTime();

void BM_SlotPoolPingPong(benchmark::State& state) {
  SlotPoolServer server;
  RoundTrips(state, server.port());
}
BENCHMARK(BM_SlotPoolPingPong)->Arg(1)->Arg(32)->Arg(250)->UseRealTime();

// The fault the connection class mends: frame and block in two sends with Nagle on.
void BM_BareTwoSendsWithNagle(benchmark::State& state) {
  BareServer server(/*two_sends=*/true);
  RoundTrips(state, server.port());
}
BENCHMARK(BM_BareTwoSendsWithNagle)->Arg(1)->Iterations(50)->UseRealTime();

// Connect to first reply on a fresh connection: accept, post to the main
// thread, hand-off, slot wake-up, read, reply.
void BM_HandOffLatency(benchmark::State& state) {
  SlotPoolServer server;
  std::uint8_t reply[kBulkDownloadFrameSize];
  for (auto _ : state) {
    platform::TcpSocket c;
    c.Connect("127.0.0.1", server.port(), milliseconds(5000));
    c.SetNoDelay(true);
    c.SendAll(kChunkRequest);
    if (!ReadExactly(c, reply, sizeof reply)) {
      state.SkipWithError("no reply");
      return;
    }
    state.PauseTiming();
    c.Close();
    // Let the slot end, then start its replacement as the timer would.
    std::this_thread::sleep_for(milliseconds(1));
    server.RestartEnded();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_HandOffLatency)->Iterations(200)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BareConnectFirstReply(benchmark::State& state) {
  BareServer server;
  std::uint8_t reply[kBulkDownloadFrameSize];
  for (auto _ : state) {
    platform::TcpSocket c;
    c.Connect("127.0.0.1", server.port(), milliseconds(5000));
    c.SetNoDelay(true);
    c.SendAll(kChunkRequest);
    if (!ReadExactly(c, reply, sizeof reply)) {
      state.SkipWithError("no reply");
      return;
    }
  }
}
BENCHMARK(BM_BareConnectFirstReply)->Iterations(200)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Resident memory: before the pool, with 250 idle slot threads, and with
// 250 idle connections handed to the slots.
void BM_ResidentMemory250Idle(benchmark::State& state) {
  for (auto _ : state) {
    const long before = ResidentKiB();
    auto server = std::make_unique<SlotPoolServer>();
    std::this_thread::sleep_for(milliseconds(200));
    const long idle_threads = ResidentKiB();
    std::vector<platform::TcpSocket> clients = ConnectClients(server->port(), 250);
    for (int i = 0; i < 5000 && server->handed() < 250; ++i)
      std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(milliseconds(200));
    const long idle_connections = ResidentKiB();
    state.counters["rss_before_KiB"] = static_cast<double>(before);
    state.counters["rss_250_idle_threads_KiB"] = static_cast<double>(idle_threads);
    state.counters["rss_250_idle_connections_KiB"] = static_cast<double>(idle_connections);
    state.counters["handed_off"] = server->handed();
    clients.clear();
    server.reset();
  }
}
BENCHMARK(BM_ResidentMemory250Idle)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
