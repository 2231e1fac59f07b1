// Delete file and the two password changes.
#include <memory>

#include "config/PasswordStore.h"
#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/ProjectPath.h"
#include "session/SessionHandler.h"
#include "support/Md5.h"
#include "support/WindowMessages.h"

namespace kestrel {

void CSessionHandler::OnDeleteFile(const Request& request) {
  RequestRecord record;
  if (!DecryptRecord(request, 2, 0, record)) return;
  const std::string folder(record.String(0));
  const std::string file_name(record.String(1));
  if (folder.empty() || file_name.empty()) return;
  const ProjectTarget target = MakeProjectTarget(project_->rootpath, folder, file_name);
  if (!target.ok()) {
    RefuseName(request.type);
    return;
  }
  if (!SendAccepted(PacketType::kDeleteFile)) return;  // nothing deleted
  // Only files are deleted; a missing file is acknowledged the same way, but
  // nothing is reported as deleted and the project has not changed.
  const bool deleted = platform::Exists(target.file) && !platform::IsFolder(target.file) &&
                       CFileNeu::Remove(target.file);
  if (!deleted) {
    Logf(kLogWarning,
         "network handling: no file %s\\%s to delete on project %s from IP %s at Port %d",
         folder.c_str(), file_name.c_str(), project_->projectname.c_str(), peer_address_.c_str(),
         peer_port_);
    return;
  }
  const std::string text = StringPrintf("File %s\\%s deleted from project %s", folder.c_str(),
                                        file_name.c_str(), project_->projectname.c_str());
  Log(kLogInfo, text);
  WriteUserActivity(text);
  project_->changed_by_session.store(true);
}

void CSessionHandler::OnUserPasswordChange(const Request& request) {
  RequestRecord record;
  if (!DecryptRecord(request, 4, 0, record)) return;
  const std::string_view old_password = record.String(0);
  const std::string_view new_password = record.String(1);
  const std::string_view username = record.String(2);
  const std::string_view projectname = record.String(3);

  // The user is found by the names in the request, not by this session's login.
  ProjectRecord* found_project = nullptr;
  UserRecord* found_user = nullptr;
  if (!old_password.empty() && !new_password.empty() && !username.empty() && !projectname.empty() &&
      values_.config != nullptr) {
    const std::string digest = PasswordDigest(old_password);
    for (const auto& project : values_.config->projects) {
      if (project->projectname != projectname) continue;
      for (const auto& user : project->users) {
        if (user->username == username && user->password.Get() == digest) {
          found_project = project.get();
          found_user = user.get();
          break;
        }
      }
      if (found_user != nullptr) break;
    }
  }
  if (found_user == nullptr) {
    if (SendReply(PacketType::kUserPasswordChange, kReplyRefused)) {
      Log(kLogError, "change of password failed, could not find project/user");
    }
    return;
  }
  if (!SendAccepted(PacketType::kUserPasswordChange)) return;
  PostToMainWindow(WM_USER_PASSWORD, std::make_unique<UserPasswordRecord>(
                                         std::string(new_password), *found_project, *found_user));
  Logf(kLogWarning, "Project %s, User %s changed password", found_project->projectname.c_str(),
       found_user->username.c_str());
}

void CSessionHandler::OnRemotePasswordChange(const Request& request) {
  RequestRecord record;
  if (!DecryptRecord(request, 2, 0, record)) return;
  const std::string_view old_password = record.String(0);
  const std::string_view new_password = record.String(1);
  const bool fits = !old_password.empty() && !new_password.empty() &&
                    values_.remote_password != nullptr &&
                    PasswordDigest(old_password) == values_.remote_password->Get();
  if (!fits) {
    if (SendReply(PacketType::kRemotePasswordChange, kReplyRefused)) {
      Log(kLogError, "server remote tool chang password failed");
    }
    return;
  }
  if (!SendAccepted(PacketType::kRemotePasswordChange)) return;
  PostToMainWindow(WM_REMOTE_PASSWORD,
                   std::make_unique<RemotePasswordRecord>(std::string(new_password)));
  Log(kLogWarning, "server remote tool changed password");
}

}  // namespace kestrel
