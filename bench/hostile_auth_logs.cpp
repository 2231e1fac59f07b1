// Two hostile loads against the real kestrel-server, measured from outside:
//
//  guess  Login guessing from 127.0.0.1 on several connections: attempts sent,
//         attempts the server actually checked (from its logbook lines, which
//         carry the failure counts), and how long the right password from
//         127.0.0.2 takes to log in meanwhile.
//  flood  Frames with a wrong check byte and pings (LogLevel Info) with the
//         server's standard output on a pipe nobody reads: logbook growth
//         per minute, peak RSS, and the time SIGTERM takes to end it.
//
// Usage: hostile_auth_logs SERVER_BINARY [guess_seconds=60] [flood_seconds=30]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "support/Md5.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace client = kestrel::client;

constexpr const char* kKey = "bench-key";

double Seconds(Steady::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::uint16_t FreePort() {
  kestrel::platform::TcpSocket probe;
  probe.Listen(0, 1, "127.0.0.1");
  return probe.LocalPort();
}

struct Server {
  fs::path dir;
  std::uint16_t port = 0;
  pid_t pid = -1;
  int stalled_out = -1;  // read end of a pipe nobody reads, or -1

  Server(const std::string& binary, const std::string& log_level, bool stall_stdout) {
    char name[] = "/tmp/kestrel-bench-XXXXXX";
    dir = ::mkdtemp(name);
    port = FreePort();
    fs::create_directories(dir / "Config");
    fs::create_directories(dir / "Team");
    std::ofstream(dir / "Config" / "KestrelServer.xml")
        << "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General><GlobalKey>"
        << kKey << "</GlobalKey><LogLevel>" << log_level << "</LogLevel><TCPIPListenPort>" << port
        << "</TCPIPListenPort></General><Project1><Projectname>Team</Projectname>"
        << "<Rootpath>.\\Team</Rootpath><Group1><Groupname>Staff</Groupname></Group1>"
        << "<User1><Username>alice</Username><Realname>alice</Realname><Password>"
        << kestrel::PasswordDigest("secret")
        << "</Password><Useremail>a@example.com</Useremail><Group1>Staff</Group1></User1>"
        << "</Project1></KestrelServer_Config>\n";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int out[2] = {-1, -1};
    if (stall_stdout && ::pipe2(out, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      stalled_out = out[0];
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string workdir = dir.string();
    std::vector<char*> argv = {const_cast<char*>(binary.c_str()), const_cast<char*>("--workdir"),
                               const_cast<char*>(workdir.c_str()), nullptr};
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (out[1] >= 0) ::close(out[1]);
    for (int i = 0; i < 200 && pid > 0; ++i) {
      client::ClientConnection c;
      if (c.Connect("127.0.0.1", port, 200ms) && client::Ping(c)) break;
      std::this_thread::sleep_for(50ms);
    }
  }
  // Seconds from SIGTERM to the exit (-1: still running after 30 s, killed).
  double Stop() {
    const Steady::time_point start = Steady::now();
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
      if (Steady::now() - start > 30s) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return Seconds(Steady::now() - start);
  }
  ~Server() {
    if (stalled_out >= 0) ::close(stalled_out);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string Logbook() const {
    std::string all;
    for (const auto& entry : fs::directory_iterator(dir / "logs")) {
      if (entry.path().filename().string().rfind("Server Logbook", 0) != 0) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      all += std::string(std::istreambuf_iterator<char>(in), {});
    }
    return all;
  }
  std::uintmax_t LogbookBytes() const {
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / "logs", ec)) total += entry.file_size(ec);
    return total;
  }
  long RssKb() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
  }
};

// Failures the server checked, as its Warning lines count them.
long CheckedFailures(const std::string& logbook) {
  static const std::regex line(
      "authentication: Login failed for user alice from IP 127\\.0\\.0\\.1 at Port \\d+"
      "( \\((\\d+) failures)?");
  long total = 0;
  for (std::sregex_iterator it(logbook.begin(), logbook.end(), line), end; it != end; ++it) {
    total += (*it)[2].matched ? std::atol((*it)[2].str().c_str()) : 1;
  }
  return total;
}

void Guess(const std::string& binary, int seconds) {
  Server server(binary, "Warning", false);
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::vector<std::thread> guessers;
  for (int t = 0; t < 8; ++t) {
    guessers.emplace_back([&, t] {
      client::ClientConnection c;
      if (!c.Connect("127.0.0.1", server.port, 2s, "127.0.0.1")) return;
      c.set_reply_timeout(5ms);
      client::ClientSession s(c, kKey);
      {
        client::ScopedReplyTimeout wait(c, 2s);
        if (!s.RequestSessionKey()) return;
      }
      for (long i = 0; !stop.load(); ++i) {
        s.Login("alice", "guess-" + std::to_string(t) + "-" + std::to_string(i), "Team");
        sent.fetch_add(1);
      }
    });
  }
  double worst = 0;
  int logins = 0, tries = 0;
  const Steady::time_point start = Steady::now();
  while (Steady::now() - start < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(2s);
    const Steady::time_point t0 = Steady::now();
    client::ClientConnection c;
    ++tries;
    if (c.Connect("127.0.0.1", server.port, 2s, "127.0.0.2")) {
      client::ClientSession s(c, kKey);
      if (s.RequestSessionKey() && s.Login("alice", "secret", "Team")) {
        ++logins;
        worst = std::max(worst, Seconds(Steady::now() - t0));
      }
    }
  }
  stop.store(true);
  for (auto& g : guessers) g.join();
  const double took = Seconds(Steady::now() - start);
  std::this_thread::sleep_for(500ms);  // the logging thread writes the last lines
  const long checked = CheckedFailures(server.Logbook());
  server.Stop();
  std::printf("guess: %.0f s, 8 connections from 127.0.0.1: %ld attempts sent (%.0f/s)\n", took,
              sent.load(), sent.load() / took);
  std::printf(
      "guess: attempts checked by the server: %ld (%ld after the first 5, %.1f per minute)\n",
      checked, std::max(checked - 5, 0L), std::max(checked - 5, 0L) * 60.0 / took);
  std::printf("guess: right password from 127.0.0.2: %d of %d logins, slowest %.2f ms\n", logins,
              tries, worst * 1000.0);
}

void Flood(const std::string& binary, int seconds) {
  Server server(binary, "Info", true);
  std::vector<std::uint8_t> bytes;
  bytes.insert(bytes.end(), {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x04});  // wrong check byte
  bytes.insert(bytes.end(), {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03});  // ping
  std::atomic<bool> stop{false};
  std::atomic<long> sends{0};
  std::vector<std::thread> flooders;
  for (int t = 0; t < 16; ++t) {
    flooders.emplace_back([&] {
      client::ClientConnection c;
      if (!c.Connect("127.0.0.1", server.port, 2s)) return;
      while (!stop.load()) {
        if (!c.SendRaw(std::span<const std::uint8_t>(bytes.data(), 7)) ||
            !c.SendRaw(std::span<const std::uint8_t>(bytes.data() + 7, 7))) {
          if (!c.Connect("127.0.0.1", server.port, 2s)) return;
        }
        c.DrainPending();
        sends.fetch_add(2);
      }
    });
  }
  const std::uintmax_t logbook_start = server.LogbookBytes();
  const long rss_start = server.RssKb();
  long rss_peak = rss_start;
  const Steady::time_point start = Steady::now();
  while (Steady::now() - start < std::chrono::seconds(seconds)) {
    std::this_thread::sleep_for(1s);
    rss_peak = std::max(rss_peak, server.RssKb());
  }
  const double took = Seconds(Steady::now() - start);
  const std::uintmax_t grown = server.LogbookBytes() - logbook_start;
  const double stop_seconds = server.Stop();
  stop.store(true);
  for (auto& f : flooders) f.join();
  std::printf("flood: %.0f s, 16 connections, %ld frames sent (%.0f/s), stdout a stalled pipe\n",
              took, sends.load(), sends.load() / took);
  std::printf("flood: logbook grew %.2f MB (%.2f MB per minute)\n", grown / 1e6,
              grown / 1e6 * 60.0 / took);
  std::printf("flood: RSS %.1f MB at start, peak %.1f MB\n", rss_start / 1024.0, rss_peak / 1024.0);
  std::printf("flood: SIGTERM ended the server after %.2f s%s\n", stop_seconds,
              stop_seconds < 0 ? " (it did not end; killed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SERVER_BINARY [guess_seconds] [flood_seconds]\n", argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const int guess = argc > 2 ? std::atoi(argv[2]) : 60;
  const int flood = argc > 3 ? std::atoi(argv[3]) : 30;
  if (guess > 0) Guess(argv[1], guess);
  if (flood > 0) Flood(argv[1], flood);
  return 0;
}
