#include "ServerLink.h"

#include <cstdio>

#include "ExitCodes.h"

namespace kestrel::cli {
namespace {

client::LinkSettings LinkSettingsOf(const Settings& settings) {
  client::LinkSettings link;
  link.host = settings.host;
  link.port = settings.port;
  link.project = settings.project;
  link.user = settings.user;
  link.global_key = settings.global_key;
  link.timeout = std::chrono::seconds(settings.timeout_seconds);
  return link;
}

int ExitCodeOf(const client::LinkResult& result) {
  switch (result.status) {
    case client::LinkStatus::kOk:
      return kExitOk;
    case client::LinkStatus::kLoginRefused:
      return kExitLoginRefused;
    case client::LinkStatus::kNoConnection:
    case client::LinkStatus::kNoReply:
      break;
  }
  return kExitConnection;
}

}  // namespace

void PrintError(const std::string& text) {
  std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

void PrintWarning(const std::string& text) {
  std::fprintf(stderr, "kestrel: warning: %s\n", text.c_str());
}

ServerLink::ServerLink(const Settings& settings)
    : settings_(settings), link_(LinkSettingsOf(settings)) {}

int ServerLink::LoginClient(const std::string& password) {
  if (settings_.project.empty() || settings_.user.empty()) {
    PrintError(std::string("no ") + (settings_.user.empty() ? "user" : "project") + ": give --" +
               (settings_.user.empty() ? "user" : "project") + " or set KESTREL_" +
               (settings_.user.empty() ? "USER" : "PROJECT"));
    return kExitUsage;
  }
  const client::LinkResult result = link_.LoginClient(password);
  if (!result.ok()) PrintError(result.message);
  if (result.status == client::LinkStatus::kLoginRefused &&
      settings_.global_key != kDefaultGlobalKey) {
    PrintError("(the global key given must match the server's GlobalKey)");
  }
  return ExitCodeOf(result);
}

int ServerLink::LoginRemote(const std::string& password) {
  const client::LinkResult result = link_.LoginRemote(password);
  if (!result.ok()) PrintError(result.message);
  return ExitCodeOf(result);
}

int ServerLink::Logout() {
  const client::LinkResult result = link_.Logout();
  if (!result.ok()) PrintWarning(result.message);
  return ExitCodeOf(result);
}

}  // namespace kestrel::cli
