// The real kestrel-server with its standard output to a pipe nobody reads,
// flooded with requests that each log a line: it keeps serving and a
// SIGTERM still ends it within the slots' stop grace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

extern char** environ;

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

std::string Config(std::uint16_t port) {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
         "<LogLevel>Info</LogLevel><TCPIPListenPort>" +
         std::to_string(port) + "</TCPIPListenPort></General></KestrelServer_Config>\n";
}

// Pings (an Info line each) and frames with a wrong check byte (a Warning each).
std::vector<std::uint8_t> FloodBytes() {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 100; ++i) {
    bytes.insert(bytes.end(), {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03});
    bytes.insert(bytes.end(), {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x04});
  }
  return bytes;
}

TEST(LogFlood, StalledStandardOutputNeitherStopsServingNorHoldsOffSigterm) {
  TempDir dir;
  const std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteFile(dir.Sub("Config/KestrelServer.xml"), Config(port)));
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const std::string workdir = dir.path();
  std::vector<char*> argv = {const_cast<char*>(KESTREL_SERVER_BINARY),
                             const_cast<char*>("--workdir"), const_cast<char*>(workdir.c_str()),
                             nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, KESTREL_SERVER_BINARY, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);  // out[0] stays open and is never read
  ASSERT_TRUE(WaitFor([&] { return PortServes(port); }));

  const std::vector<std::uint8_t> flood = FloodBytes();
  std::vector<client::ClientConnection> floods(8);
  for (auto& c : floods) ASSERT_TRUE(c.Connect("127.0.0.1", port));
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < end) {
    for (auto& c : floods) {
      c.SendRaw(flood);
      c.DrainPending();
    }
  }
  EXPECT_TRUE(PortServes(port));

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 15s);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ::close(out[0]);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace kestrel::test
