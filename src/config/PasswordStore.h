#pragma once
// Storing changed passwords: the main window's side of messages 42775
// (WM_REMOTE_PASSWORD, new remote tool password) and 42776 (WM_USER_PASSWORD,
// new user password). A session thread posts the plain password in one of the
// records below; the main window hands the record to the matching function,
// which puts the digest into the configuration document, saves the file and
// replaces the digest in memory. Passwords are stored only as digests.
//
// Threads: the functions run on the main window thread (the only writer of
// the configuration). Connection threads may read the digests at the same
// time: SharedText gives them the old or the new digest, whole.
#include <string>
#include <string_view>

#include "config/ConfigModel.h"
#include "platform/MessageLoop.h"
#include "support/XmlStore.h"

namespace kestrel {

// Record of message 42775: the new remote tool password, plain text.
struct RemotePasswordRecord final : platform::MessageRecord {
  explicit RemotePasswordRecord(std::string new_password) : password(std::move(new_password)) {}
  std::string password;
};

// Record of message 42776: the new password and who it belongs to. The user is
// named by copies of its section tags and names, not by pointer: a restart
// between posting and handling (a configuration upload) frees the records,
// and the handler then finds the user again in the records read anew.
struct UserPasswordRecord final : platform::MessageRecord {
  UserPasswordRecord(std::string new_password, const ProjectRecord& project, const UserRecord& user)
      : password(std::move(new_password)),
        project_tag(user.project_tag),
        user_tag(user.user_tag),
        projectname(project.projectname),
        username(user.username) {}
  std::string password;
  std::string project_tag;  // "Project%d"
  std::string user_tag;     // "User%d"
  std::string projectname;
  std::string username;
};

struct PasswordUpdate {
  std::string digest;         // the stored digest: 32 lower-case hexadecimal characters
  bool in_memory = false;     // the record in memory now holds the digest
  bool file_changed = false;  // the document held the element and it was replaced
  bool saved = false;         // the file was written
};

// New remote tool password: replaces General/PasswordRemote in the document
// (only an existing element: nothing is added), saves the file when the
// document changed, and sets settings.password_remote, where running
// sessions read it.
PasswordUpdate StoreRemotePassword(CXmlStore& store, ServerSettings& settings,
                                   std::string_view password);

// New user password: replaces the Password element of exactly that user's
// section (project tag / user tag), saves the file when the document changed,
// and sets the user's digest in memory. When no user of that name sits under
// those tags in a project of that name any more, nothing changes (in_memory
// stays false).
PasswordUpdate StoreUserPassword(CXmlStore& store, ServerConfig& config,
                                 const UserPasswordRecord& change);

// The configured user with those section tags, that project name and that
// user name; null when none. The pointer is owned by config and valid until
// its projects are released.
UserRecord* FindUser(ServerConfig& config, std::string_view project_tag, std::string_view user_tag,
                     std::string_view projectname, std::string_view username);

}  // namespace kestrel
