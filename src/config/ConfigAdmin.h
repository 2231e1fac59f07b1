// Administering ".\Config\KestrelServer.xml" without editing XML: users,
// projects and the remote administration password. Every edit goes through
// the XML value store (the bytes the server itself writes), keeps the
// numbering of Project%d, Group%d and User%d contiguous, stores passwords as
// salted digests, and is saved whole: the old file is first copied to
// ".\Backup\<stamp>_ServerConfig_old.xml", then the new document replaces it
// through a temporary file, so no half-written file is ever left.
//
// Threads: one tool thread; the server must not write the file meanwhile
// (the tools refuse while a server runs in the folder, see platform/PidLock).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigModel.h"
#include "config/ConfigReader.h"
#include "platform/Clock.h"
#include "support/XmlStore.h"

namespace kestrel {

struct NewUser {
  std::string project;
  std::string username;
  std::string realname;  // the user name when empty
  std::string email;
  std::vector<std::string> groups;  // the project's first group when empty
  std::string password;             // plain; stored as its digest
};

// Outcome of one edit: ok, or a message that says what is wrong.
struct EditResult {
  bool ok = false;
  std::string message;
};

class ConfigEditor {
 public:
  // Loads the configuration file; false with a message when it does not load.
  [[nodiscard]] EditResult Load(std::string_view path = kConfigFilePath);

  [[nodiscard]] EditResult AddUser(const NewUser& user);
  [[nodiscard]] EditResult SetUserPassword(std::string_view project, std::string_view username,
                                           std::string_view password);
  // Later users move up one number. The last user of a project is kept
  // (a project without users ends the server's project list).
  [[nodiscard]] EditResult RemoveUser(std::string_view project, std::string_view username);
  // Appends a project with its groups and no user: the server reads it once
  // it has a user (AddUser). Refused while the last project has no user,
  // which would hide the new one.
  [[nodiscard]] EditResult AddProject(std::string_view name, std::string_view rootpath,
                                      const std::vector<std::string>& groups);
  // Sets General/PasswordRemote (the element is added when missing).
  [[nodiscard]] EditResult SetRemotePassword(std::string_view password);

  // The projects as the server reads them (after the collision rule).
  const ServerConfig& config() const { return config_; }

  // Copies the file on disk to the backup, then saves the edited document.
  [[nodiscard]] EditResult Save(const platform::Clock& clock);

 private:
  // Section tags of a project / user as the server reads them; "" when none.
  const ProjectRecord* FindProject(std::string_view name) const;
  // How many sections prefix1, prefix2, ... stand below parent without a gap.
  int CountSections(const XmlPath& parent, std::string_view prefix) const;
  // Users of the project that the reader took before the collision rule.
  int UsersRead(const ProjectRecord& project) const;

  std::string path_;
  CXmlStore store_;
  ServerConfig config_;  // as read at Load; the edits change only store_
  ReadReport report_;
};

}  // namespace kestrel
