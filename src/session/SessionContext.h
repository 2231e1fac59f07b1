#pragma once
// What every session of a running server works with: the server's parts it
// reports to and reads from, and the configuration values copied when the
// connection slots start. The main window builds one at WM_LOG_READY; each
// session handler keeps its own copy for the life of its connection, so a
// configuration change reaches the sessions only with the next start of the
// slots (passwords excepted: they are read through SharedText and change in
// place).
//
// Pointers are borrowed from the running server and stay valid until
// StopServer has joined the slot threads. New fields get a default, so a
// context built without them keeps working.
#include <atomic>
#include <string>

#include "config/ConfigModel.h"
#include "config/SharedText.h"
#include "logging/LogChannel.h"
#include "net/AuthPenalties.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"

namespace kestrel {

struct SessionContext {
  platform::MessageLoop* main_window = nullptr;  // receives posted messages
  const LogChannel* log = nullptr;
  ServerConfig* config = nullptr;  // projects, read-only for sessions
  const platform::Clock* clock = nullptr;
  const std::atomic<bool>* shutdown = nullptr;  // process-wide shutdown flag
  AuthPenalties* auth_penalties = nullptr;      // failed logins per source, server-wide
  std::string global_key;                       // `GlobalKey`
  bool remote_access_on = false;                // `ActivateRemote`
  const SharedText* remote_password = nullptr;  // `PasswordRemote`, replaced in place
  bool log_user_activity = false;               // `LogUserActivity`
};

// The context of config's current settings (main thread, at slot start).
SessionContext MakeSessionContext(ServerConfig& config, platform::MessageLoop& main_window,
                                  const LogChannel& log, const platform::Clock& clock,
                                  const std::atomic<bool>& shutdown, AuthPenalties& auth_penalties);

}  // namespace kestrel
