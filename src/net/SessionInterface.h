#pragma once
// What a connection-slot thread needs from the session handler of its
// connection. The handler is built at thread start and destroyed at thread end,
// on the slot thread; every call below runs on that thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigModel.h"
#include "config/SharedText.h"
#include "logging/LogChannel.h"
#include "net/AuthPenalties.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"

namespace kestrel {

class CSocketClass;

// The slot's values, handed over when a connection arrives. Pointers are
// borrowed: the connection belongs to the slot until the thread ends; the
// rest lives as long as the running server (until StopServer has joined the
// slot threads).
struct SlotValues {
  CSocketClass* connection = nullptr;
  platform::MessageLoop* main_window = nullptr;  // receives posted messages
  const LogChannel* log = nullptr;
  ServerConfig* config = nullptr;                // projects, read-only for sessions
  const platform::Clock* clock = nullptr;
  const std::atomic<bool>* shutdown = nullptr;   // process-wide shutdown flag
  AuthPenalties* auth_penalties = nullptr;       // failed logins per source, server-wide
  std::string global_key;
  bool remote_access_on = false;
  const SharedText* remote_password = nullptr;   // the slot's copy; replaced in place
  bool log_user_activity = false;
  int thread_number = 0;
};

class ISessionHandler {
 public:
  virtual ~ISessionHandler() = default;
  virtual void OnConnection(const SlotValues& values) = 0;
  // One read that delivered data: buffer holds `bytes` bytes (at most
  // kStreamReadSize), the next piece of the connection's byte stream.
  // Returns how many complete valid frames the read completed and the handler
  // took (the connection's sign of life for the watchdog).
  virtual std::size_t OnReceive(const std::uint8_t* buffer, std::size_t bytes) = 0;
  // A client or the remote tool is logged in on this connection.
  virtual bool authenticated() const = 0;
  // The connection ended (closed, terminated or stopped): logout and clean-up.
  virtual void OnConnectionEnd() = 0;
};

using SessionFactory = std::function<std::unique_ptr<ISessionHandler>()>;

}  // namespace kestrel
