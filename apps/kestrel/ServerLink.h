#pragma once
// One connection to the server with its session: connect, key exchange and
// login as a client or as the remote tool, logout. Every failure is printed
// in plain words and turned into an exit code (ExitCodes.h).
//
// Main thread only.
#include <chrono>
#include <memory>
#include <string>

#include "CliOptions.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"

namespace kestrel::cli {

// Prints "kestrel: <text>" on stderr.
void PrintError(const std::string& text);
void PrintWarning(const std::string& text);

class ServerLink {
 public:
  // A refused login is recognised by silence; this is how long it is awaited.
  static constexpr std::chrono::seconds kLoginWait{5};

  // settings: borrowed, must outlive the link.
  explicit ServerLink(const Settings& settings);
  ~ServerLink();  // logs out when logged in
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Connect (when not connected), key exchange, login. An exit code.
  int LoginClient(const std::string& password);
  int LoginRemote(const std::string& password);
  // Logout; the server rescans a project that this session changed. An exit code.
  int Logout();
  void Close();

  client::ClientSession& session() { return *session_; }
  client::ClientConnection& connection() { return connection_; }
  const Settings& settings() const { return settings_; }
  std::chrono::milliseconds reply_timeout() const;
  // "no reply from the server within 30 s to <what>"; also names a lost connection.
  std::string NoReply(const std::string& what) const;
  // For requests that carry a name: the server answers a name it refuses
  // with silence, so silence names both causes.
  std::string RefusedOrNoReply(const std::string& what, const std::string& name) const;

 private:
  int Open();

  const Settings& settings_;  // borrowed, outlives the link
  client::ClientConnection connection_;
  std::unique_ptr<client::ClientSession> session_;
  bool logged_in_ = false;
};

}  // namespace kestrel::cli
