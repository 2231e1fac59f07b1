// Delete file and the two password changes.
#include <memory>

#include "config/PasswordStore.h"
#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHandler.h"
#include "support/Md5.h"
#include "support/WindowMessages.h"

namespace kestrel {

void CSessionHandler::OnDeleteFile(const Request& request) {
  const ProjectFileRequest& file = *request.project_file;
  if (!SendAccepted(PacketType::kDeleteFile)) return;  // nothing deleted
  const std::string folder(file.folder), file_name(file.file_name);
  // Only regular files are deleted, in the folder the check resolved. A
  // missing file, a folder or a link is acknowledged the same way, but nothing
  // is reported as deleted and the project has not changed.
  const int error =
      file.folder_handle.IsOpen() ? file.folder_handle.DeleteFile(file.target.file_name) : ENOENT;
  if (error == 0) {
    const std::string text = StringPrintf("File %s\\%s deleted from project %s", folder.c_str(),
                                          file_name.c_str(), project_->projectname.c_str());
    Log(kLogInfo, text);
    WriteUserActivity(text);
    project_->changed_by_session.store(true);
    return;
  }
  if (error == ENOENT || error == EISDIR || error == platform::kLinkOnTheWay ||
      error == platform::kNotARegularFile) {
    Logf(kLogWarning,
         "network handling: no file %s\\%s to delete on project %s from IP %s at Port %d",
         folder.c_str(), file_name.c_str(), project_->projectname.c_str(), peer_address_.c_str(),
         peer_port_);
  } else {
    CFileNeu::Report(error, project_->rootpath + '\\' + file.target.RelativeFile(), true);
  }
}

void CSessionHandler::OnUserPasswordChange(const Request& request) {
  if (Penalised()) return;
  RequestRecord record;
  if (!DecryptRecord(request, 4, 0, record)) return;
  const std::string_view old_password = record.String(0);
  const std::string_view new_password = record.String(1);
  const std::string_view username = record.String(2);
  const std::string_view projectname = record.String(3);

  // The user is found by the names in the request, not by this session's login.
  FoundUser found;
  if (!old_password.empty() && !new_password.empty() && !username.empty() && !projectname.empty()) {
    found = FindUser(projectname, username, old_password);
  }
  if (found.user == nullptr) {
    const bool sent = SendReply(PacketType::kUserPasswordChange, kReplyRefused);
    if (RecordAuthFailure("User password change", "user " + std::string(username)) && sent) {
      Log(kLogError, "change of password failed, could not find project/user");
    }
    return;
  }
  RecordAuthSuccess();
  if (!SendAccepted(PacketType::kUserPasswordChange)) return;
  PostToMainWindow(WM_USER_PASSWORD, std::make_unique<UserPasswordRecord>(
                                         std::string(new_password), *found.project, *found.user));
  Logf(kLogWarning, "Project %s, User %s changed password", found.project->projectname.c_str(),
       found.user->username.c_str());
}

void CSessionHandler::OnRemotePasswordChange(const Request& request) {
  if (Penalised()) return;
  RequestRecord record;
  if (!DecryptRecord(request, 2, 0, record)) return;
  const std::string_view old_password = record.String(0);
  const std::string_view new_password = record.String(1);
  const bool fits = !old_password.empty() && !new_password.empty() &&
                    values_.remote_password != nullptr &&
                    PasswordDigest(old_password) == values_.remote_password->Get();
  if (!fits) {
    const bool sent = SendReply(PacketType::kRemotePasswordChange, kReplyRefused);
    if (RecordAuthFailure("Remote password change", "the server remote tool") && sent) {
      Log(kLogError, "server remote tool chang password failed");
    }
    return;
  }
  RecordAuthSuccess();
  if (!SendAccepted(PacketType::kRemotePasswordChange)) return;
  PostToMainWindow(WM_REMOTE_PASSWORD,
                   std::make_unique<RemotePasswordRecord>(std::string(new_password)));
  Log(kLogWarning, "server remote tool changed password");
}

}  // namespace kestrel
