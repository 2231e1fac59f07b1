#include "ServerLink.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "ExitCodes.h"
#include "client/TextCodec.h"
#include "platform/Socket.h"
#include "support/Md5.h"

namespace kestrel::cli {
namespace {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "kestrel-cli";
  return std::string(name).substr(0, 64);
}

std::string ConnectError(int error, int seconds) {
  switch (error) {
    case platform::wsa::kETIMEDOUT:
      return "the connection attempt timed out after " + std::to_string(seconds) + " s";
    case platform::wsa::kECONNREFUSED:
      return "connection refused (is the server running on that port?)";
    case platform::wsa::kHOST_NOT_FOUND:
      return "host name not found (IPv4)";
    case platform::wsa::kEHOSTUNREACH:
    case platform::wsa::kENETUNREACH:
      return "host unreachable";
    default:
      return "connection failed (socket error " + std::to_string(error) + ")";
  }
}

}  // namespace

void PrintError(const std::string& text) {
  std::fprintf(stderr, "kestrel: %s\n", text.c_str());
}

void PrintWarning(const std::string& text) {
  std::fprintf(stderr, "kestrel: warning: %s\n", text.c_str());
}

ServerLink::ServerLink(const Settings& settings) : settings_(settings) {
  connection_.set_reply_timeout(reply_timeout());
}

ServerLink::~ServerLink() {
  if (logged_in_) Logout();
  Close();
}

std::chrono::milliseconds ServerLink::reply_timeout() const {
  return std::chrono::seconds(settings_.timeout_seconds);
}

std::string ServerLink::NoReply(const std::string& what) const {
  if (!connection_.connected()) return "the server closed the connection during " + what;
  return "no reply from the server within " + std::to_string(settings_.timeout_seconds) + " s to " +
         what;
}

std::string ServerLink::RefusedOrNoReply(const std::string& what, const std::string& name) const {
  if (!connection_.connected()) return NoReply(what);
  return "the server refused " + what + " for " + name + " or did not answer within " +
         std::to_string(settings_.timeout_seconds) + " s";
}

int ServerLink::Open() {
  const std::string where = settings_.host + ":" + std::to_string(settings_.port);
  if (!connection_.connected()) {
    session_.reset();
    if (!connection_.Connect(settings_.host, settings_.port, reply_timeout())) {
      PrintError("cannot connect to " + where + ": " +
                 ConnectError(connection_.last_error(), settings_.timeout_seconds));
      return kExitConnection;
    }
  }
  if (!session_)
    session_ = std::make_unique<client::ClientSession>(connection_, settings_.global_key);
  if (!session_->RequestSessionKey()) {
    PrintError("no answer to the key exchange from " + where + " within " +
               std::to_string(settings_.timeout_seconds) + " s (is it a Kestrel server?)");
    Close();
    return kExitConnection;
  }
  return kExitOk;
}

int ServerLink::LoginClient(const std::string& password) {
  if (settings_.project.empty() || settings_.user.empty()) {
    PrintError(std::string("no ") + (settings_.user.empty() ? "user" : "project") + ": give --" +
               (settings_.user.empty() ? "user" : "project") + " or set KESTREL_" +
               (settings_.user.empty() ? "USER" : "PROJECT"));
    return kExitUsage;
  }
  if (const int code = Open(); code != kExitOk) return code;
  static const std::string client_name = HostName();
  static const std::string client_hash = Md5Hex("kestrel-cli " + client_name);
  connection_.set_reply_timeout(std::min<std::chrono::milliseconds>(kLoginWait, reply_timeout()));
  const bool accepted =
      session_->Login(settings_.user, password, settings_.project, client_name, client_hash);
  connection_.set_reply_timeout(reply_timeout());
  if (!accepted) {
    PrintError(
        "login refused: user, password or project not accepted (or the server did not answer)");
    if (settings_.global_key != kDefaultGlobalKey) {
      PrintError("(the global key given must match the server's GlobalKey)");
    }
    return kExitLoginRefused;
  }
  logged_in_ = true;
  return kExitOk;
}

int ServerLink::LoginRemote(const std::string& password) {
  if (const int code = Open(); code != kExitOk) return code;
  connection_.set_reply_timeout(std::min<std::chrono::milliseconds>(kLoginWait, reply_timeout()));
  const bool accepted = session_->RemoteLogin(password);
  connection_.set_reply_timeout(reply_timeout());
  if (!accepted) {
    PrintError(
        "remote login refused: password not accepted, remote administration switched off on the "
        "server (or the server did not answer)");
    return kExitLoginRefused;
  }
  logged_in_ = true;
  return kExitOk;
}

int ServerLink::Logout() {
  if (!logged_in_ || !session_) return kExitOk;
  logged_in_ = false;
  if (!session_->Logout()) {
    PrintWarning(NoReply("the logout"));
    return kExitConnection;
  }
  return kExitOk;
}

void ServerLink::Close() {
  logged_in_ = false;
  session_.reset();
  connection_.Close();
}

}  // namespace kestrel::cli
