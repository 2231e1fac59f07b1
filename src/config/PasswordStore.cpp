#include "config/PasswordStore.h"

#include "config/ConfigReader.h"
#include "support/Md5.h"

namespace kestrel {
namespace {

namespace keys = config_keys;

// Replaces the existing element's text and writes the file when it changed.
// A store whose load failed holds no document: nothing is written then.
void WriteDigest(CXmlStore& store, const XmlPath& section, std::string_view key,
                 PasswordUpdate& update) {
  update.file_changed = store.SetExistingString(section, key, update.digest);
  if (update.file_changed && store.IsLoaded()) update.saved = store.Save();
}

}  // namespace

PasswordUpdate StoreRemotePassword(CXmlStore& store, ServerSettings& settings,
                                   std::string_view password) {
  PasswordUpdate update;
  update.digest = PasswordDigest(password);
  WriteDigest(store, XmlPath{keys::kRoot, keys::kGeneral}, keys::kPasswordRemote, update);
  settings.password_remote.Set(update.digest);
  update.in_memory = true;
  return update;
}

PasswordUpdate StoreUserPassword(CXmlStore& store, ServerConfig& config,
                                 const UserPasswordRecord& change) {
  PasswordUpdate update;
  update.digest = PasswordDigest(change.password);
  UserRecord* user =
      FindUser(config, change.project_tag, change.user_tag, change.projectname, change.username);
  if (user == nullptr) return update;

  WriteDigest(store, XmlPath{keys::kRoot, user->project_tag, user->user_tag}, keys::kPassword,
              update);
  user->password.Set(update.digest);
  update.in_memory = true;
  return update;
}

UserRecord* FindUser(ServerConfig& config, std::string_view project_tag, std::string_view user_tag,
                     std::string_view projectname, std::string_view username) {
  for (const auto& project : config.projects) {
    if (project->section_tag != project_tag) continue;
    // Renamed or reordered projects: the section may now hold another project.
    if (project->projectname != projectname) return nullptr;
    for (const auto& user : project->users) {
      if (user->user_tag == user_tag) {
        return user->username == username ? user.get() : nullptr;
      }
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace kestrel
