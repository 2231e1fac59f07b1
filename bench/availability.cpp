// availability: how the connection slots hold up under hostile clients.
// Starts the real kestrel-server in a temporary folder on a free loopback
// port (default limits) and measures, from outside:
//   1. 260 silent or byte-dribbling connections from 127.0.0.1 held open as
//      far as the server lets them, while a client from 127.0.0.2 runs 50
//      sessions one after the other;
//   2. 60 clients from 127.0.0.3 connecting at the same instant;
//   3. a connect/close loop at full speed from 127.0.0.1 while 20 honest
//      clients (127.0.0.10 ...) loop sessions, against the same run without
//      the attacker;
//   4. a soak of 20 honest clients, sampling the server's RSS, open
//      descriptors and threads.
// A session is: connect, session key, login, ping, logout, close.
//
//   availability [--server PATH] [--flood-seconds N] [--flood-threads N] [--soak-seconds N]
//
// --flood-threads: threads of the connect/close loop (default 1); on a
// machine with few cores more threads mostly take the honest clients' CPU.
//
// Loopback only; every phase is bounded in time and count.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "support/Md5.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace fs = std::filesystem;

constexpr const char* kKey = "availability-bench";

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// ---- The server under test.
class Server {
 public:
  explicit Server(std::string binary) : binary_(std::move(binary)) {}
  ~Server() { Stop(); }

  bool Start() {
    char pattern[] = "/tmp/kestrel-availability-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return false;
    dir_ = pattern;
    port_ = FreePort();
    fs::create_directories(dir_ / "Config");
    fs::create_directories(dir_ / "Projects" / "Alpha");
    std::ofstream(dir_ / "Projects" / "Alpha" / "readme.txt") << "hello";
    std::ofstream(dir_ / "Config" / "KestrelServer.xml")
        << "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
        << "<GlobalKey>" << kKey << "</GlobalKey><LogLevel>Warning</LogLevel>"
        << "<TCPIPListenPort>" << port_ << "</TCPIPListenPort><TCPIPListenAddress>127.0.0.1"
        << "</TCPIPListenAddress></General><Project1><Projectname>Alpha</Projectname>"
        << "<Rootpath>.\\Projects\\Alpha</Rootpath><Group1><Groupname>Staff</Groupname>"
        << "</Group1><User1><Username>anna</Username><Realname>Anna A</Realname><Password>"
        << kestrel::PasswordDigest("secret") << "</Password><Useremail>anna@example.org"
        << "</Useremail><Group1>Staff</Group1></User1></Project1></KestrelServer_Config>\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open((dir_ / "server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execl(binary_.c_str(), binary_.c_str(), "--workdir", dir_.c_str(), nullptr);
      ::_exit(127);
    }
    const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
      kestrel::client::ClientConnection c;
      if (c.Connect("127.0.0.1", port_, milliseconds(500)) && kestrel::client::Ping(c)) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      const Clock::time_point end = Clock::now() + std::chrono::seconds(20);
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(milliseconds(20));
      }
      pid_ = -1;
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(dir_, ignored);
      dir_.clear();
    }
  }

  std::uint16_t port() const { return port_; }

  struct Sample {
    long rss_kb = 0;
    long descriptors = 0;
    long threads = 0;
  };
  Sample Measure() const {
    Sample s;
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    while (status >> key) {
      if (key == "VmRSS:") status >> s.rss_kb;
      if (key == "Threads:") status >> s.threads;
    }
    std::error_code ignored;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ignored);
         it != fs::directory_iterator(); ++it) {
      ++s.descriptors;
    }
    return s;
  }

 private:
  static std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
  }

  std::string binary_;
  fs::path dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// ---- Clients.

// The client's own time-outs (a SYN dropped by a full accept queue is sent
// again after a second, which a real client waits for).
enum class Outcome { kServed, kNotConnected, kFailed };
Outcome HonestSession(std::uint16_t port, const std::string& from) {
  kestrel::client::ClientConnection c;
  if (!c.Connect("127.0.0.1", port, kestrel::client::ClientConnection::kDefaultConnectTimeout,
                 from)) {
    return Outcome::kNotConnected;
  }
  kestrel::client::ClientSession s(c, kKey);
  const bool served = s.RequestSessionKey() && s.Login("anna", "secret", "Alpha") &&
                      kestrel::client::Ping(c) && s.Logout();
  return served ? Outcome::kServed : Outcome::kFailed;
}

// A raw connection from 127.0.0.1 that is reset (not left in TIME_WAIT) when closed.
int RawConnect(std::uint16_t port, bool nonblocking) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Keeps up to `count` connections open from 127.0.0.1, half silent, half
// sending one garbage byte a second; reopens whatever the server closes.
class SilentFlood {
 public:
  SilentFlood(std::uint16_t port, int count) : port_(port), fds_(count, -1) {
    thread_ = std::thread([this] { Run(); });
  }
  ~SilentFlood() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  long opened() const { return opened_.load(); }

 private:
  void Run() {
    Clock::time_point next_dribble = Clock::now();
    while (!stop_) {
      const bool dribble = Clock::now() >= next_dribble;
      if (dribble) next_dribble = Clock::now() + std::chrono::seconds(1);
      for (std::size_t i = 0; i < fds_.size() && !stop_; ++i) {
        int& fd = fds_[i];
        if (fd >= 0) {
          char byte = 0;
          const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
          const bool gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
          if (!gone && dribble && i % 2 == 1) (void)::send(fd, "\x00", 1, MSG_NOSIGNAL);
          if (gone) {
            ::close(fd);
            fd = -1;
          }
        }
        if (fd < 0) {
          fd = RawConnect(port_, true);
          if (fd >= 0) ++opened_;
        }
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
  }

  std::uint16_t port_;
  std::vector<int> fds_;  // flood thread only
  std::atomic<bool> stop_{false};
  std::atomic<long> opened_{0};
  std::thread thread_;
};

// Connects and resets at once from 127.0.0.1, as fast as `threads` threads can.
class ConnectCloseFlood {
 public:
  ConnectCloseFlood(std::uint16_t port, int threads) : port_(port) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this] {
        while (!stop_) {
          const int fd = RawConnect(port_, false);
          if (fd >= 0) {
            ++connects_;
            ::close(fd);
          }
        }
      });
    }
  }
  ~ConnectCloseFlood() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }
  long connects() const { return connects_.load(); }

 private:
  std::uint16_t port_;
  std::atomic<bool> stop_{false};
  std::atomic<long> connects_{0};
  std::vector<std::thread> threads_;
};

// `clients` threads, each from its own loopback address, looping sessions.
struct LoopResult {
  long ok = 0;
  long failed = 0;         // connected, but a reply was missing
  long not_connected = 0;  // the connect itself failed
  double seconds = 0;
};
LoopResult HonestLoops(std::uint16_t port, int clients, double seconds,
                       const std::function<void()>& each_second = nullptr) {
  std::atomic<long> ok{0};
  std::atomic<long> failed{0};
  std::atomic<long> not_connected{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      const std::string from = "127.0.0." + std::to_string(10 + i);
      while (!stop) {
        const Outcome outcome = HonestSession(port, from);
        (outcome == Outcome::kServed ? ok : outcome == Outcome::kFailed ? failed : not_connected)++;
      }
    });
  }
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::seconds(1), end - Clock::now()));
    if (each_second) each_second();
  }
  stop = true;
  for (auto& t : threads) t.join();
  return {ok.load(), failed.load(), not_connected.load(), Seconds(Clock::now() - start)};
}

// The system's count of connections dropped because a listen queue was full
// (all listeners of the machine; -1 when unknown).
long ListenOverflows() {
  std::ifstream netstat("/proc/net/netstat");
  std::string names;
  std::string values;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names);
    std::istringstream v(values);
    std::string name;
    std::string value;
    while (n >> name && v >> value) {
      if (name == "ListenOverflows") return std::atol(value.c_str());
    }
  }
  return -1;
}

int Fail(const char* what) {
  std::fprintf(stderr, "availability: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = KESTREL_SERVER_BINARY;
  double flood_seconds = 30;
  double soak_seconds = 60;
  int flood_threads = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--server")
      binary = argv[i + 1];
    else if (arg == "--flood-seconds")
      flood_seconds = std::atof(argv[i + 1]);
    else if (arg == "--flood-threads")
      flood_threads = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--soak-seconds")
      soak_seconds = std::atof(argv[i + 1]);
    else
      return Fail(
          "usage: availability [--server PATH] [--flood-seconds N] [--flood-threads N] "
          "[--soak-seconds N]");
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // 1. Silent and dribbling connections against one client elsewhere.
  {
    Server server(binary);
    if (!server.Start()) return Fail("the server did not start");
    const long idle_descriptors = server.Measure().descriptors;
    SilentFlood flood(server.port(), 260);
    std::this_thread::sleep_for(milliseconds(1000));
    const long held = server.Measure().descriptors - idle_descriptors;
    const Clock::time_point start = Clock::now();
    double first = -1;
    int served = 0;
    for (int i = 0; i < 50; ++i) {
      if (HonestSession(server.port(), "127.0.0.2") == Outcome::kServed) {
        ++served;
        if (first < 0) first = Seconds(Clock::now() - start);
      }
    }
    std::printf(
        "silent flood: 260 silent/dribbling kept from 127.0.0.1 (the server held %ld, "
        "%ld connects); 50 sessions from 127.0.0.2: %d served, first after %.3f s, all "
        "in %.2f s\n",
        held, flood.opened(), served, first, Seconds(Clock::now() - start));
  }

  // 2. An office behind one address starting together.
  {
    Server server(binary);
    if (!server.Start()) return Fail("the server did not start");
    std::atomic<int> served{0};
    std::latch go(60);
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < 60; ++i) {
      threads.emplace_back([&] {
        go.arrive_and_wait();
        if (HonestSession(server.port(), "127.0.0.3") == Outcome::kServed) ++served;
      });
    }
    for (auto& t : threads) t.join();
    std::printf("office burst: 60 clients from 127.0.0.3 at once: %d served in %.2f s\n",
                served.load(), Seconds(Clock::now() - start));
  }

  // 3. Connect/close loop against 20 honest clients, and the same without it.
  {
    Server server(binary);
    if (!server.Start()) return Fail("the server did not start");
    const LoopResult quiet = HonestLoops(server.port(), 20, flood_seconds);
    long connects = 0;
    LoopResult attacked;
    const long overflows_before = ListenOverflows();
    {
      ConnectCloseFlood flood(server.port(), flood_threads);
      attacked = HonestLoops(server.port(), 20, flood_seconds);
      connects = flood.connects();
    }
    const double quiet_rate = quiet.ok / quiet.seconds;
    const double attacked_rate = attacked.ok / attacked.seconds;
    std::printf(
        "connect/close flood: %.0f s each; without attacker %.1f sessions/s (%ld failed, "
        "%ld not connected); with %.0f connects/s from 127.0.0.1 (%d threads): %.1f "
        "sessions/s (%ld failed, %ld not connected), %.1f %% of the quiet rate\n",
        flood_seconds, quiet_rate, quiet.failed, quiet.not_connected, connects / attacked.seconds,
        flood_threads, attacked_rate, attacked.failed, attacked.not_connected,
        100.0 * attacked_rate / quiet_rate);
    std::printf("  listen queue overflows during the attacked run: %ld\n",
                ListenOverflows() - overflows_before);
  }

  // 4. Soak.
  {
    Server server(binary);
    if (!server.Start()) return Fail("the server did not start");
    std::vector<Server::Sample> samples;
    int second = 0;
    const int every = std::max(1, static_cast<int>(soak_seconds / 5));
    const LoopResult soak = HonestLoops(server.port(), 20, soak_seconds, [&] {
      if (++second % every == 0) samples.push_back(server.Measure());
    });
    samples.push_back(server.Measure());  // at the end
    std::printf(
        "soak: 20 honest clients for %.0f s: %ld sessions (%.1f/s), %ld failed, %ld not "
        "connected\n",
        soak.seconds, soak.ok, soak.ok / soak.seconds, soak.failed, soak.not_connected);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      std::printf("  %s %3d s: RSS %ld kB, %ld descriptors, %ld threads\n",
                  i + 1 == samples.size() ? "end" : "at ", static_cast<int>((i + 1) * every),
                  samples[i].rss_kb, samples[i].descriptors, samples[i].threads);
    }
  }
  return 0;
}
