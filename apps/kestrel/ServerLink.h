#pragma once
// The command's connection to the server (client/ClientLink.h): every
// failure is printed in plain words and turned into an exit code
// (ExitCodes.h).
//
// Main thread only.
#include <string>

#include "CliOptions.h"
#include "client/ClientLink.h"

namespace kestrel::cli {

// Prints "kestrel: <text>" on stderr.
void PrintError(const std::string& text);
void PrintWarning(const std::string& text);

class ServerLink {
 public:
  // settings: borrowed, must outlive the link.
  explicit ServerLink(const Settings& settings);
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Connect (when not connected), key exchange, login. An exit code.
  int LoginClient(const std::string& password);
  int LoginRemote(const std::string& password);
  // Logout; the server rescans a project that this session changed. An exit code.
  int Logout();
  void Close() { link_.Close(); }

  client::ClientLink& link() { return link_; }
  client::ClientSession& session() { return link_.session(); }
  client::ClientConnection& connection() { return link_.connection(); }
  const Settings& settings() const { return settings_; }
  std::string NoReply(const std::string& what) const { return link_.NoReply(what); }
  std::string RefusedOrNoReply(const std::string& what, const std::string& name) const {
    return link_.RefusedOrNoReply(what, name);
  }

 private:
  const Settings& settings_;  // borrowed, outlives the link
  client::ClientLink link_;
};

}  // namespace kestrel::cli
