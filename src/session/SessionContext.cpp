#include "session/SessionContext.h"

namespace kestrel {

SessionContext MakeSessionContext(ServerConfig& config, platform::MessageLoop& main_window,
                                  const LogChannel& log, const platform::Clock& clock,
                                  const std::atomic<bool>& shutdown,
                                  AuthPenalties& auth_penalties) {
  SessionContext context;
  context.main_window = &main_window;
  context.log = &log;
  context.config = &config;
  context.clock = &clock;
  context.shutdown = &shutdown;
  context.auth_penalties = &auth_penalties;
  context.global_key = config.settings.global_key;
  context.remote_access_on = config.settings.activate_remote;
  context.remote_password = &config.settings.password_remote;
  context.log_user_activity = config.settings.log_user_activity;
  return context;
}

}  // namespace kestrel
