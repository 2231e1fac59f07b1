#include "client/ClientLink.h"

#include <unistd.h>

#include <algorithm>

#include "platform/Socket.h"
#include "support/Md5.h"

namespace kestrel::client {
namespace {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "kestrel-cli";
  return std::string(name).substr(0, 64);
}

std::string ConnectError(int error, long seconds) {
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

LinkResult Failure(LinkStatus status, std::string message) {
  return LinkResult{status, std::move(message)};
}

}  // namespace

ClientLink::ClientLink(LinkSettings settings) : settings_(std::move(settings)) {
  connection_.set_reply_timeout(reply_timeout());
}

ClientLink::~ClientLink() {
  if (logged_in_) Logout();
  Close();
}

std::chrono::milliseconds ClientLink::SilenceWait() const {
  return std::min<std::chrono::milliseconds>(ClientSession::kSilenceWait, reply_timeout());
}

std::string ClientLink::NoReply(std::string_view what) const {
  if (!connection_.connected()) {
    return "the server closed the connection during " + std::string(what);
  }
  return "no reply from the server within " + std::to_string(settings_.timeout.count()) + " s to " +
         std::string(what);
}

std::string ClientLink::RefusedOrNoReply(std::string_view what, std::string_view name) const {
  if (!connection_.connected()) return NoReply(what);
  return "the server refused " + std::string(what) + " for " + std::string(name) +
         " or did not answer within " + std::to_string(settings_.timeout.count()) + " s";
}

LinkResult ClientLink::Open() {
  const std::string where = settings_.host + ":" + std::to_string(settings_.port);
  const long seconds = static_cast<long>(settings_.timeout.count());
  if (!connection_.connected()) {
    session_.reset();
    if (!connection_.Connect(settings_.host, settings_.port, reply_timeout())) {
      return Failure(
          LinkStatus::kNoConnection,
          "cannot connect to " + where + ": " + ConnectError(connection_.last_error(), seconds));
    }
    if (settings_.pipelining) (void)connection_.ProbePipelining();
  }
  if (!session_) session_ = std::make_unique<ClientSession>(connection_, settings_.global_key);
  if (!session_->RequestSessionKey()) {
    Close();
    return Failure(LinkStatus::kNoConnection, "no answer to the key exchange from " + where +
                                                  " within " + std::to_string(seconds) +
                                                  " s (is it a Kestrel server?)");
  }
  return {};
}

LinkResult ClientLink::LoginClient(std::string_view password) {
  if (LinkResult opened = Open(); !opened.ok()) return opened;
  static const std::string client_name = HostName();
  static const std::string client_hash = Md5Hex("kestrel-cli " + client_name);
  bool accepted = false;
  {
    ScopedReplyTimeout silence(connection_, SilenceWait());
    accepted =
        session_->Login(settings_.user, password, settings_.project, client_name, client_hash);
  }
  if (!accepted) {
    return Failure(
        LinkStatus::kLoginRefused,
        "login refused: user, password or project not accepted (or the server did not answer)");
  }
  logged_in_ = true;
  return {};
}

LinkResult ClientLink::LoginRemote(std::string_view password) {
  if (LinkResult opened = Open(); !opened.ok()) return opened;
  bool accepted = false;
  {
    ScopedReplyTimeout silence(connection_, SilenceWait());
    accepted = session_->RemoteLogin(password);
  }
  if (!accepted) {
    return Failure(LinkStatus::kLoginRefused,
                   "remote login refused: password not accepted, remote administration switched "
                   "off on the server (or the server did not answer)");
  }
  logged_in_ = true;
  return {};
}

LinkResult ClientLink::Logout() {
  if (!logged_in_ || !session_) return {};
  logged_in_ = false;
  if (!session_->Logout()) return Failure(LinkStatus::kNoReply, NoReply("the logout"));
  return {};
}

void ClientLink::Close() {
  logged_in_ = false;
  session_.reset();
  connection_.Close();
}

}  // namespace kestrel::client
