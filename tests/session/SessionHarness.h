#pragma once
// The stand of the session tests: a temporary working folder (Config, Temp,
// logs and two project roots) made the current directory, a TestClock, a
// logging window and a main window that collect what sessions post, a
// configuration built in code, and a loopback listener. Each ServedConnection
// accepts one client and serves it with a real CSessionHandler on its own
// thread, the way a connection slot does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "net/SessionInterface.h"
#include "net/SocketClass.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "session/SessionHandler.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

using Bytes = std::vector<std::uint8_t>;

bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
std::string ReadFileBytes(const std::string& native_path);
void WriteFileBytes(const std::string& native_path, const std::string& bytes);
// Deterministic incompressible bytes.
std::string RandomBytes(std::size_t size, unsigned seed);

// A message loop on its own thread that keeps everything posted to it.
class WindowCapture {
 public:
  struct Posted {
    std::uint32_t id;
    std::intptr_t wparam;
    std::shared_ptr<platform::MessageRecord> record;
  };
  explicit WindowCapture(platform::Clock& clock);
  ~WindowCapture();
  platform::MessageLoop& loop() { return loop_; }
  std::vector<Posted> Messages() const;
  int Count(std::uint32_t id) const;
  // Log records (WM_LOG_RECORD) as text and level.
  std::vector<std::pair<std::string, int>> LogLines() const;
  int CountLog(const std::string& text, int level) const;

 private:
  platform::MessageLoop loop_;
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<Posted> posted_;  // guarded by mu_
};

class SessionEnv {
 public:
  static constexpr const char* kGlobalKey = "TestGlobalKey42";
  static constexpr const char* kRemotePassword = "remote-pw";
  SessionEnv();
  ~SessionEnv();

  SessionContext Context();
  std::uint16_t port() const { return port_; }
  // Native path of a file below the root of project Alpha ("/" separated).
  std::string AlphaFile(const std::string& relative) const;
  ProjectRecord& Alpha() { return *config.projects[0]; }
  UserRecord& Anna() { return *config.projects[0]->users[0]; }
  // Waits until the logging window holds this line (level) count times.
  bool WaitForLog(const std::string& text, int level, int count = 1);
  // The user-activity log of the test clock's month, as bytes.
  std::string UserLog() const;

  TempDir dir;
  ScopedCwd cwd;
  platform::TestClock clock;
  WindowCapture log_window;
  WindowCapture main_window;
  LogChannel log;
  ServerConfig config;
  std::atomic<bool> shutdown{false};
  SharedText remote_password;
  std::string global_key = kGlobalKey;
  bool log_user_activity = true;
  bool remote_access_on = true;
  std::string alpha_root;  // native = system path of project Alpha's root
  platform::TcpSocket listener;

 private:
  std::uint16_t port_ = 0;
};

// The server side of one accepted connection: a session handler on its own
// thread, reading at most 1500 bytes per read until the peer closes.
class ServedConnection {
 public:
  // Accepts the next pending connection of env's listener. peer_fd: the
  // client side, when the test wants to see what reached it at login changes.
  ServedConnection(SessionEnv& env, int thread_number, int peer_fd = -1);
  ~ServedConnection();  // closes the server side and waits for the end
  // Waits until the peer closed and the connection end has run.
  bool WaitEnded();
  const CSessionHandler& handler() const { return handler_; }
  // Reads handed to the handler so far (counted before it runs).
  int reads() const { return reads_.load(); }
  // Per read: the request type (byte 2, or 0 for a short read) and the heap
  // allocations the handler made while serving it.
  std::vector<std::pair<int, long>> ReadAllocations() const;
  // Per login change the handler reported: the new state and how many bytes
  // the peer could read at that moment.
  std::vector<std::pair<bool, int>> LoginNotices() const;

 private:
  void Serve();
  SessionEnv& env_;
  std::unique_ptr<CSocketClass> socket_;
  int thread_number_;
  CSessionHandler handler_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> reads_{0};
  mutable std::mutex mu_;
  std::vector<std::pair<int, long>> allocations_;  // guarded by mu_
  int peer_fd_;
  std::vector<std::pair<bool, int>> login_notices_;  // guarded by mu_
  std::thread thread_;
};

// A client connection with its served counterpart and a client session.
struct Peer {
  explicit Peer(SessionEnv& env, int thread_number = 0);
  client::ClientConnection connection;
  std::unique_ptr<ServedConnection> served;
  std::unique_ptr<client::ClientSession> session;
  // Key exchange and login of anna on Alpha.
  bool LoginAnna();
};

// A bare TCP peer for the exact reply bytes: sends raw frames, reads raw bytes.
class RawPeer {
 public:
  explicit RawPeer(SessionEnv& env, int thread_number = 0);
  bool Send(const Bytes& bytes);
  // Reads until `count` bytes arrived (or the time-out), then takes whatever
  // else is already there, so extra bytes show up in the result.
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Sends a frame and reads the expected reply size.
  Bytes Exchange(const Bytes& frame, std::size_t reply_size);
  // True when nothing arrives within the window.
  bool Silent(std::chrono::milliseconds window = std::chrono::milliseconds(250));
  // Key exchange over the raw socket; the sealer then encrypts records.
  bool ExchangeKey(const std::string& global_key);
  Bytes Seal(std::initializer_list<std::string_view> strings, const Bytes& fixed = {},
             std::string_view trailing = {});
  void Close() { socket.Close(); }

  platform::TcpSocket socket;
  std::unique_ptr<ServedConnection> served;
  std::uint8_t key[16] = {};

 private:
  client::ClientConnection unused_;  // the sealer's connection, never used
  client::ClientSession sealer_;
};

// A client frame AA 55 type L payload check.
Bytes ClientFrame(std::uint8_t type, const Bytes& payload = {});
// A server frame CC 33 type L payload check.
Bytes ServerFrame(std::uint8_t type, const Bytes& payload = {});

}  // namespace kestrel::test
