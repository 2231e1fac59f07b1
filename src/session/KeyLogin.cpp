// Key exchange, logins and logout.
#include <cstring>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "net/AuthPenalties.h"
#include "projects/ProjectHandlerList.h"  // ScanProjectRecord
#include "session/SessionHandler.h"
#include "support/Md5.h"
#include "support/WindowMessages.h"

namespace kestrel {

void CSessionHandler::OnGetSessionKey(const Request& request) {
  const std::string bootstrap = BootstrapKey(values_.global_key);
  std::uint8_t client_value[kSessionKeySize];
  CRijndael cipher;  // keyed with the bootstrap key, then the client's value
  cipher.MakeKey(reinterpret_cast<const std::uint8_t*>(bootstrap.data()));
  cipher.DecryptBlock(request.payload.data(), client_value);
  // The new key holds at once, also when the reply does not go out.
  MakeSessionKey(session_key_);
  std::uint8_t sealed[kSessionKeySize];
  cipher.MakeKey(client_value);
  cipher.EncryptBlock(session_key_, sealed);
  std::memset(client_value, 0, sizeof client_value);
  if (SendReply(PacketType::kGetSessionKey, sealed)) {
    Logf(kLogInfo, "GetSessionKey handled from IP %s at Port %d", peer_address_.c_str(),
         peer_port_);
  }
}

CSessionHandler::FoundUser CSessionHandler::FindUser(std::string_view projectname,
                                                     std::string_view username,
                                                     std::string_view password) const {
  FoundUser found;
  if (values_.config == nullptr) return found;
  const std::string digest = PasswordDigest(password);
  for (const auto& project : values_.config->projects) {
    if (project->projectname != projectname) continue;
    for (std::size_t u = 0; u < project->users.size(); ++u) {
      UserRecord& user = *project->users[u];
      if (user.username == username && user.password.Get() == digest) {
        found.project = project.get();
        found.user = &user;
        found.index = u;
        return found;
      }
    }
  }
  return found;
}

bool CSessionHandler::Penalised() const {
  return values_.auth_penalties != nullptr && values_.auth_penalties->Penalised(peer_address_);
}

bool CSessionHandler::RecordAuthFailure(const char* request, std::string_view who) {
  if (values_.auth_penalties == nullptr) return true;
  const AuthPenalties::Failure failure = values_.auth_penalties->RecordFailure(peer_address_);
  if (!failure.log_now) return false;
  // The name is the client's: no control characters reach the logbook.
  std::string name(who);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  std::string text = StringPrintf("authentication: %s failed for %s from IP %s at Port %d", request,
                                  name.c_str(), peer_address_.c_str(), peer_port_);
  if (failure.count > 1) {
    text += StringPrintf(" (%llu failures from this address since the last line)",
                         static_cast<unsigned long long>(failure.count));
  }
  Log(kLogWarning, std::move(text));
  return true;
}

void CSessionHandler::RecordAuthSuccess() {
  if (values_.auth_penalties != nullptr) values_.auth_penalties->RecordSuccess(peer_address_);
}

void CSessionHandler::OnLogin(const Request& request) {
  if (Penalised()) return;
  RequestRecord record;
  if (!DecryptRecord(request, 4, 0, record)) return;
  // String(3), the client name, and the 32-character client hash after it are
  // carried by the request but not used.

  // Every attempt ends the current login, and with it the upload it announced
  // and its transfer archive.
  AbandonUpload();
  RemoveLoginArchive();
  const FoundUser found = FindUser(record.String(2), record.String(0), record.String(1));
  project_ = found.project;
  user_ = found.user;
  user_index_ = found.index;
  SetLoggedIn(user_ != nullptr, remote_logged_in_);
  if (!client_logged_in_) {  // no reply
    RecordAuthFailure("Login", "user " + std::string(record.String(0)));
    return;
  }
  RecordAuthSuccess();

  // A new login starts without the previous user's download.
  CloseDownload();
  ready_ = false;
  const std::string text =
      StringPrintf("User %s logged in on project %s from IP %s at Port %d", user_->username.c_str(),
                   project_->projectname.c_str(), peer_address_.c_str(), peer_port_);
  WriteUserActivity(text);
  if (SendAccepted(PacketType::kLogin)) Log(kLogInfo, text);
}

void CSessionHandler::OnRemoteLogin(const Request& request) {
  if (Penalised()) return;
  RequestRecord record;
  if (!DecryptRecord(request, 1, 0, record)) return;
  const std::string_view password = record.String(0);
  if (password.empty()) return;
  if (!values_.remote_access_on || values_.remote_password == nullptr ||
      PasswordDigest(password) != values_.remote_password->Get()) {
    RecordAuthFailure("Remote tool login", "the server remote tool");  // no reply
    return;
  }
  RecordAuthSuccess();
  AbandonUpload();
  SetLoggedIn(client_logged_in_, true);
  if (SendAccepted(PacketType::kRemoteLogin)) Log(kLogInfo, "remote server logged in");
}

void CSessionHandler::OnLogout(const Request&) {
  const bool client = client_logged_in_ && project_ != nullptr && user_ != nullptr;
  std::string text;
  if (remote_logged_in_) {
    text = StringPrintf("Server remote tool logged out from IP %s at Port %d",
                        peer_address_.c_str(), peer_port_);
  } else if (client) {
    text = StringPrintf("User %s logged out on project %s from IP %s at Port %d",
                        user_->username.c_str(), project_->projectname.c_str(),
                        peer_address_.c_str(), peer_port_);
  }
  if (!text.empty()) WriteUserActivity(text);
  if (SendReply(PacketType::kLogout, kReplyEcho) && !text.empty()) Log(kLogInfo, text);
  if (client && project_->changed_by_session.load() && values_.main_window != nullptr) {
    platform::Message scan;
    scan.id = WM_SCAN_PROJECT;
    scan.record = std::make_unique<ScanProjectRecord>(project_);
    values_.main_window->Post(std::move(scan));
  }
  AbandonUpload();
  RemoveLoginArchive();
  RetireSessionKey();
  server_logs_mode_ = false;
}

}  // namespace kestrel
