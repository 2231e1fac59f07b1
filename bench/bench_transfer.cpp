// Transfer speed through the session handler over loopback: the download
// chunk loop (5-byte request, 1287-byte chunk) and the upload chunk loop
// (1290-byte chunk, 7-byte acknowledgement) of a 64 MB payload, on one
// connection and spread over 32 connections at once; beside them a bare TCP
// ping-pong of the same frame sizes without session, cipher or files, and the
// time to pack the 64 MB file into its download archive; and uploads paired
// with the ping-pong run beside them, for their share of it.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <latch>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "net/Frame.h"
#include "net/RequestLayout.h"
#include "net/SocketClass.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "session/SessionHandler.h"
#include "support/Md5.h"
#include "support/ZipArchive.h"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTotalPayload = 64u << 20;  // spread over the connections

// The server's working folder with one project whose root holds the files.
struct Stand {
  Stand() {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    dir = mkdtemp(pattern);
    if (chdir(dir.c_str()) != 0) std::abort();
    for (const char* f : {"Config", "Temp", "logs", "root"}) platform::CreateFolder(f);
    auto project = std::make_unique<ProjectRecord>();
    project->projectname = "Bench";
    project->rootpath = dir + "/root";
    auto user = std::make_unique<UserRecord>();
    user->username = "u";
    user->password.Set(PasswordDigest("pw"));
    project->users.push_back(std::move(user));
    config.projects.push_back(std::move(project));
    remote_password.Set("");
    listener.Listen(0, 64);
    port = listener.LocalPort();
  }
  ~Stand() {
    listener.Close();
    platform::RemoveTree(dir);
  }
  // A random file of `size` bytes in the project root, made once per size.
  std::string File(std::size_t size) {
    const std::string name = "f" + std::to_string(size) + ".bin";
    const std::string path = dir + "/root/" + name;
    if (!platform::Exists(path)) {
      std::mt19937 gen(static_cast<unsigned>(size));
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(gen());
      std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
    }
    return name;
  }
  std::string dir;
  ServerConfig config;
  LogChannel log;  // no logging window: lines are dropped
  std::atomic<bool> shutdown{false};
  SharedText remote_password;
  platform::TcpSocket listener;
  std::uint16_t port = 0;
};

Stand& TheStand() {
  static Stand stand;
  return stand;
}

// One connection served by a session handler on its own thread.
class Served {
 public:
  Served(Stand& s, int number) : number_(number), handler_(Context(s)) {
    platform::TcpSocket accepted;
    s.listener.Accept(accepted);
    socket_ = std::make_unique<CSocketClass>(std::move(accepted));
    thread_ = std::thread([this] { Serve(); });
  }
  ~Served() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Serve() {
    handler_.OnConnection(socket_.get(), number_);
    std::uint8_t buffer[kReceiveBufferSize];
    while (!stop_) {
      pollfd p{socket_->fd(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const auto got = socket_->Receive(buffer);
      if (got.bytes > 0) handler_.OnReceive(buffer, got.bytes);
      if (got.closed) break;
    }
    handler_.OnConnectionEnd();
  }
  static SessionContext Context(Stand& s) {
    SessionContext context;
    context.log = &s.log;
    context.config = &s.config;
    context.clock = &platform::SystemClock::Instance();
    context.shutdown = &s.shutdown;
    context.global_key = kDefaultGlobalKey;
    context.remote_password = &s.remote_password;
    return context;
  }
  std::unique_ptr<CSocketClass> socket_;
  int number_;
  CSessionHandler handler_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Client {
  Client(Stand& s, int number) {
    connection.Connect("127.0.0.1", s.port);
    served = std::make_unique<Served>(s, number);
    session = std::make_unique<client::ClientSession>(connection, kDefaultGlobalKey);
    ok = session->RequestSessionKey() && session->Login("u", "pw", "Bench");
  }
  client::ClientConnection connection;
  std::unique_ptr<Served> served;
  std::unique_ptr<client::ClientSession> session;
  bool ok = false;
};

// Runs body(i) on n threads started together; returns the wall time.
template <class Body>
double RunTogether(int n, Body body) {
  std::latch start(n + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      body(i);
    });
  }
  const auto t0 = Clock::now();
  start.arrive_and_wait();
  for (auto& t : threads) t.join();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void BM_Download(benchmark::State& state) {
  Stand& s = TheStand();
  const int n = static_cast<int>(state.range(0));
  const std::string file = s.File(kTotalPayload / n);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < n; ++i) {
      clients.push_back(std::make_unique<Client>(s, i));
      if (!clients.back()->ok || !clients.back()->session->RequestDownload("RootFolder", file) ||
          !clients.back()->session->WaitTransferReady()) {
        state.SkipWithError("download preparation failed");
        return;
      }
    }
    std::atomic<std::int64_t> received{0};
    const double seconds = RunTogether(n, [&](int i) {
      std::int64_t mine = 0;
      clients[i]->session->FetchChunks([&](std::span<const std::uint8_t> b) {
        mine += static_cast<std::int64_t>(b.size());
        return true;
      });
      received += mine;
    });
    state.SetIterationTime(seconds);
    bytes += received.load();
  }
  state.SetBytesProcessed(bytes);
}

// The archive of one connection's share of the payload, read into memory.
std::string UploadArchive(Stand& s, int n) {
  const std::string file = s.File(kTotalPayload / n);
  const std::string archive = s.dir + "/upload" + std::to_string(n) + ".zip";
  if (!platform::Exists(archive)) PackFile(archive, s.dir + "/root/" + file, file);
  std::ifstream in(archive, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// n connections log in and upload the archive at once, stop-and-wait, each to
// its own target; the wall time of the chunk loops, or nothing on a failure.
std::optional<double> UploadRound(Stand& s, int n, const std::string& archive) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < n; ++i) clients.push_back(std::make_unique<Client>(s, i));
  std::atomic<int> failures{0};
  const double seconds = RunTogether(n, [&](int i) {
    client::ClientSession& c = *clients[i]->session;
    const std::string target = "up" + std::to_string(i) + ".bin";
    std::uint8_t fixed[kUploadFixedPartSize];
    WriteUploadFixedPart(UploadFixedPart{0, static_cast<std::int64_t>(kTotalPayload / n)}, fixed);
    bool ok = clients[i]->ok &&
              clients[i]->connection.Request(PacketType::kUploadRequest,
                                             c.SealRecord({"RootFolder", target}, fixed));
    const auto* data = reinterpret_cast<const std::uint8_t*>(archive.data());
    for (std::size_t at = 0; ok && at < archive.size(); at += kBulkBlockSize) {
      ok = c.SendUploadChunk(
          std::span<const std::uint8_t>(data + at, std::min(kBulkBlockSize, archive.size() - at)));
    }
    if (!(ok && c.SendUploadEnd())) ++failures;
  });
  if (failures.load() != 0) return std::nullopt;
  return seconds;
}

void BM_Upload(benchmark::State& state) {
  Stand& s = TheStand();
  const int n = static_cast<int>(state.range(0));
  const std::string archive = UploadArchive(s, n);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::optional<double> seconds = UploadRound(s, n, archive);
    if (!seconds) {
      state.SkipWithError("upload failed");
      return;
    }
    state.SetIterationTime(*seconds);
    bytes += static_cast<std::int64_t>(archive.size()) * n;
  }
  state.SetBytesProcessed(bytes);
}

// Round trips per connection of the ping-pong, each carrying one block.
std::size_t PingPongTrips(int n) {
  return kTotalPayload / kBulkBlockSize / n;
}

// The same frame sizes without session, cipher or files: each of n server
// threads reads one request of `request` bytes and answers `reply` bytes,
// for the round trips that carry the payload; the wall time of the loops.
double PingPongRound(Stand& s, int n, std::size_t request, std::size_t reply) {
  const std::size_t trips = PingPongTrips(n);
  std::vector<platform::TcpSocket> clients(n), servers(n);
  for (int i = 0; i < n; ++i) {
    clients[i].Connect("127.0.0.1", s.port);
    clients[i].SetNoDelay(true);
    s.listener.Accept(servers[i]);
    servers[i].SetNoDelay(true);
  }
  std::vector<std::thread> echo;
  for (int i = 0; i < n; ++i) {
    echo.emplace_back([&, i] {
      std::vector<std::uint8_t> in(request), out(reply, 0xCC);
      for (std::size_t t = 0; t < trips; ++t) {
        for (std::size_t have = 0; have < request;) {
          auto got = servers[i].ReadWait(std::span(in.data() + have, request - have),
                                         std::chrono::seconds(10));
          if (got.bytes == 0) return;
          have += got.bytes;
        }
        servers[i].SendAll(out);
      }
    });
  }
  const double seconds = RunTogether(n, [&](int i) {
    std::vector<std::uint8_t> out(request, 0xAA), in(reply);
    for (std::size_t t = 0; t < trips; ++t) {
      clients[i].SendAll(out);
      for (std::size_t have = 0; have < reply;) {
        auto got = clients[i].ReadWait(std::span(in.data() + have, reply - have),
                                       std::chrono::seconds(10));
        if (got.bytes == 0) return;
        have += got.bytes;
      }
    }
  });
  for (auto& t : echo) t.join();
  return seconds;
}

void PingPong(benchmark::State& state, std::size_t request, std::size_t reply) {
  Stand& s = TheStand();
  const int n = static_cast<int>(state.range(0));
  std::int64_t bytes = 0;
  for (auto _ : state) {
    state.SetIterationTime(PingPongRound(s, n, request, reply));
    bytes += static_cast<std::int64_t>(PingPongTrips(n) * kBulkBlockSize) * n;
  }
  state.SetBytesProcessed(bytes);  // as payload, 1280 bytes per round trip
}

// Uploads against the ping-pong of their frame sizes, run back to back in
// alternating order so that both see the same state of a shared machine:
// "share" is the ping-pong's time over the uploads' time, per pair.
void BM_UploadShare(benchmark::State& state) {
  Stand& s = TheStand();
  const int n = static_cast<int>(state.range(0));
  const std::string archive = UploadArchive(s, n);
  const auto ping_pong = [&] {
    return PingPongRound(s, n, kBulkUploadFrameSize, kFrameOverhead + 2);
  };
  double shares = 0;
  int pairs = 0;
  for (auto _ : state) {
    double ping_pong_seconds = 0;
    std::optional<double> upload;
    if (pairs % 2 == 0) {
      upload = UploadRound(s, n, archive);
      ping_pong_seconds = ping_pong();
    } else {
      ping_pong_seconds = ping_pong();
      upload = UploadRound(s, n, archive);
    }
    if (!upload) {
      state.SkipWithError("upload failed");
      return;
    }
    state.SetIterationTime(*upload);
    shares += ping_pong_seconds / *upload;
    ++pairs;
  }
  state.counters["share"] = shares / pairs;
}

void BM_PingPongDownloadShape(benchmark::State& state) {
  PingPong(state, kFrameOverhead, kBulkDownloadFrameSize);
}
void BM_PingPongUploadShape(benchmark::State& state) {
  PingPong(state, kBulkUploadFrameSize, kFrameOverhead + 2);
}

// Download request to ready: the 64 MB file packed into its archive.
void BM_PrepareDownload(benchmark::State& state) {
  Stand& s = TheStand();
  const std::string file = s.File(kTotalPayload);
  Client c(s, 0);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (!c.ok || !c.session->RequestDownload("RootFolder", file) ||
        !c.session->WaitTransferReady()) {
      state.SkipWithError("preparation failed");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    bytes += static_cast<std::int64_t>(kTotalPayload);
  }
  state.SetBytesProcessed(bytes);
}

BENCHMARK(BM_Download)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Upload)->Arg(1)->Arg(32)->UseManualTime()->Iterations(2)->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_PingPongDownloadShape)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPongUploadShape)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadShare)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrepareDownload)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
