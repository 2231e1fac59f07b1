#pragma once
// One connection to the server with its session: connect, key exchange and
// login as a client or as the remote tool, logout. Every failure comes back
// as a status with a message in plain words for the user.
//
// Threads: used by one thread at a time.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "client/ClientConnection.h"
#include "client/ClientSession.h"

namespace kestrel::client {

struct LinkSettings {
  std::string host = "localhost";
  std::uint16_t port = 50000;
  std::string project;               // 8-bit text
  std::string user;                  // 8-bit text
  std::string global_key;            // 8-bit text
  std::chrono::seconds timeout{30};  // the wait for the connection and for each reply
  // Probe the server after connecting and pipeline the chunk loops when it
  // takes requests back to back.
  bool pipelining = true;
};

enum class LinkStatus {
  kOk,
  kNoConnection,  // no connection, or no answer to the key exchange
  kNoReply,       // no reply in time, connection lost
  kLoginRefused,  // silence to the login (which is how the server refuses)
};

struct LinkResult {
  LinkStatus status = LinkStatus::kOk;
  std::string message;  // when not ok
  bool ok() const { return status == LinkStatus::kOk; }
};

class ClientLink {
 public:
  explicit ClientLink(LinkSettings settings);
  ~ClientLink();  // logs out when logged in
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;

  // Connect (when not connected), key exchange, login.
  LinkResult LoginClient(std::string_view password);
  LinkResult LoginRemote(std::string_view password);
  // Logout; the server rescans a project that this session changed.
  LinkResult Logout();
  void Close();

  // Valid after a login (a key exchange) until Close.
  ClientSession& session() { return *session_; }
  ClientConnection& connection() { return connection_; }
  const LinkSettings& settings() const { return settings_; }
  std::chrono::milliseconds reply_timeout() const { return settings_.timeout; }
  // "no reply from the server within 30 s to <what>"; also names a lost connection.
  std::string NoReply(std::string_view what) const;
  // For requests whose refusal is silence: silence names both causes.
  std::string RefusedOrNoReply(std::string_view what, std::string_view name) const;

 private:
  LinkResult Open();
  // A refused login is recognised by silence; this is how long it is awaited.
  std::chrono::milliseconds SilenceWait() const;

  LinkSettings settings_;
  ClientConnection connection_;
  std::unique_ptr<ClientSession> session_;
  bool logged_in_ = false;
};

}  // namespace kestrel::client
