#include "config/ConfigAdmin.h"

#include <algorithm>

#include "config/ConfigUpdate.h"
#include "config/NameCollisions.h"
#include "platform/FileSystem.h"
#include "support/Md5.h"

namespace kestrel {
namespace {

namespace keys = config_keys;

EditResult Done(std::string message) {
  return EditResult{true, std::move(message)};
}
EditResult Refused(std::string message) {
  return EditResult{false, std::move(message)};
}

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// Paths are kept with "\" between levels, as the server builds them.
std::string SystemSeparators(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

bool Declares(const ProjectRecord& project, std::string_view group) {
  return std::any_of(project.groups.begin(), project.groups.end(),
                     [&](const GroupNode& g) { return g.name == group; });
}

}  // namespace

EditResult ConfigEditor::Load(std::string_view path) {
  path_ = path;
  ReadConfiguration(store_, config_, path_, &report_);
  if (!store_.IsLoaded()) {
    return Refused(Quoted(path) + " does not load (" + store_.load_error() +
                   "); see kestrel-server --check-config");
  }
  return Done("");
}

const ProjectRecord* ConfigEditor::FindProject(std::string_view name) const {
  for (const std::unique_ptr<ProjectRecord>& project : config_.projects) {
    if (project->projectname == name) return project.get();
  }
  return nullptr;
}

int ConfigEditor::CountSections(const XmlPath& parent, std::string_view prefix) const {
  const std::vector<CXmlStore::Child> children = store_.Children(parent);
  int n = 0;
  while (std::any_of(children.begin(), children.end(), [&](const CXmlStore::Child& c) {
    return c.name == SectionTag(prefix, n + 1);
  })) {
    ++n;
  }
  return n;
}

int ConfigEditor::UsersRead(const ProjectRecord& project) const {
  int count = static_cast<int>(project.users.size());
  for (const NameCollision& c : report_.collisions) {
    if (c.left_out.project_tag == project.section_tag) ++count;
  }
  return count;
}

EditResult ConfigEditor::AddUser(const NewUser& user) {
  const ProjectRecord* project = FindProject(user.project);
  if (project == nullptr) return Refused("no project " + Quoted(user.project));
  if (user.username.empty() || user.email.empty() || user.password.empty()) {
    return Refused("a user needs a name, an e-mail address and a password");
  }
  const std::string stem = FileNameStem(user.project, user.username);
  for (const std::unique_ptr<ProjectRecord>& other : config_.projects) {
    for (const std::unique_ptr<UserRecord>& existing : other->users) {
      if (FileNameStem(other->projectname, existing->username) == stem) {
        return Refused(
            other.get() == project
                ? "project " + Quoted(user.project) + " already has a user " + Quoted(user.username)
                : "user " + Quoted(user.username) + " of project " + Quoted(user.project) +
                      " would share its files with user " + Quoted(existing->username) +
                      " of project " + Quoted(other->projectname));
      }
    }
  }
  std::vector<std::string> groups = user.groups;
  if (groups.empty()) groups.push_back(project->groups.front().name);
  for (const std::string& group : groups) {
    if (!Declares(*project, group)) {
      return Refused("project " + Quoted(user.project) + " has no group " + Quoted(group));
    }
  }
  const XmlPath section{keys::kRoot, project->section_tag};
  const int count = CountSections(section, keys::kUserPrefix);
  if (count != UsersRead(*project)) {
    return Refused(project->section_tag + "/" +
                   SectionTag(keys::kUserPrefix, UsersRead(*project) + 1) +
                   " is incomplete and hides later users: fix it first (see --check-config)");
  }
  const std::string tag = SectionTag(keys::kUserPrefix, count + 1);
  const XmlPath user_section{keys::kRoot, project->section_tag, tag};
  bool ok = store_.AddElement(user_section) &&
            store_.SetString(user_section, keys::kUsername, user.username) &&
            store_.SetString(user_section, keys::kRealname,
                             user.realname.empty() ? user.username : user.realname) &&
            store_.SetString(user_section, keys::kPassword, PasswordDigest(user.password)) &&
            store_.SetString(user_section, keys::kUseremail, user.email);
  for (std::size_t k = 0; ok && k < groups.size(); ++k) {
    ok = store_.SetString(user_section, SectionTag(keys::kGroupPrefix, static_cast<int>(k) + 1),
                          groups[k]);
  }
  if (!ok) return Refused("the user section could not be written");
  return Done("user " + Quoted(user.username) + " added to project " + Quoted(user.project) +
              " as " + project->section_tag + "/" + tag);
}

EditResult ConfigEditor::SetUserPassword(std::string_view project_name, std::string_view username,
                                         std::string_view password) {
  const ProjectRecord* project = FindProject(project_name);
  if (project == nullptr) return Refused("no project " + Quoted(project_name));
  if (password.empty()) return Refused("the password is empty");
  for (const std::unique_ptr<UserRecord>& user : project->users) {
    if (user->username != username) continue;
    if (!store_.SetExistingString(XmlPath{keys::kRoot, project->section_tag, user->user_tag},
                                  keys::kPassword, PasswordDigest(password))) {
      return Refused("the Password element could not be written");
    }
    return Done("password of user " + Quoted(username) + " of project " + Quoted(project_name) +
                " changed");
  }
  return Refused("project " + Quoted(project_name) + " has no user " + Quoted(username));
}

EditResult ConfigEditor::RemoveUser(std::string_view project_name, std::string_view username) {
  const ProjectRecord* project = FindProject(project_name);
  if (project == nullptr) return Refused("no project " + Quoted(project_name));
  const auto found = std::find_if(project->users.begin(), project->users.end(),
                                  [&](const auto& user) { return user->username == username; });
  if (found == project->users.end()) {
    return Refused("project " + Quoted(project_name) + " has no user " + Quoted(username));
  }
  if (project->users.size() == 1) {
    return Refused(Quoted(username) + " is the last user of project " + Quoted(project_name) +
                   ": a project needs at least one user");
  }
  const XmlPath section{keys::kRoot, project->section_tag};
  const int count = CountSections(section, keys::kUserPrefix);
  const int removed =
      static_cast<int>(std::stoi((*found)->user_tag.substr(keys::kUserPrefix.size())));
  bool ok = store_.RemoveChild(section, (*found)->user_tag);
  for (int m = removed + 1; ok && m <= count; ++m) {
    ok = store_.RenameChild(section, SectionTag(keys::kUserPrefix, m),
                            SectionTag(keys::kUserPrefix, m - 1));
  }
  if (!ok) return Refused("the user sections could not be renumbered");
  return Done("user " + Quoted(username) + " removed from project " + Quoted(project_name));
}

EditResult ConfigEditor::AddProject(std::string_view name, std::string_view rootpath,
                                    const std::vector<std::string>& groups) {
  if (name.empty() || rootpath.empty() || groups.empty()) {
    return Refused("a project needs a name, a root folder and a group");
  }
  if (FindProject(name) != nullptr) return Refused("project " + Quoted(name) + " exists already");
  const std::string system_root = SystemSeparators(rootpath);
  if (!platform::IsFolder(system_root)) {
    return Refused("the root folder " + Quoted(rootpath) + " does not exist (create it first)");
  }
  const XmlPath root{keys::kRoot};
  const int count = CountSections(root, keys::kProjectPrefix);
  if (count != config_.project_count()) {
    const std::string blocking = SectionTag(keys::kProjectPrefix, config_.project_count() + 1);
    return Refused(blocking + " is incomplete (no user yet?) and would hide the new project: " +
                   "add a user to it or fix it first (see --check-config)");
  }
  const std::string tag = SectionTag(keys::kProjectPrefix, count + 1);
  const XmlPath section{keys::kRoot, tag};
  bool ok = store_.AddElement(section) && store_.SetString(section, keys::kProjectname, name) &&
            store_.SetString(section, keys::kRootpath, system_root);
  for (std::size_t m = 0; ok && m < groups.size(); ++m) {
    const XmlPath group{keys::kRoot, tag, SectionTag(keys::kGroupPrefix, static_cast<int>(m) + 1)};
    ok = store_.AddElement(group) && store_.SetString(group, keys::kGroupname, groups[m]);
  }
  if (!ok) return Refused("the project section could not be written");
  return Done("project " + Quoted(name) + " added as " + tag +
              "; the server takes it up once it has a user (kestrel-server user add " +
              std::string(name) + " USER ...)");
}

EditResult ConfigEditor::SetRemotePassword(std::string_view password) {
  if (password.empty()) return Refused("the password is empty");
  if (!store_.SetString(XmlPath{keys::kRoot, keys::kGeneral}, keys::kPasswordRemote,
                        PasswordDigest(password))) {
    return Refused("the configuration has no General section");
  }
  return Done(config_.settings.activate_remote
                  ? "remote administration password changed"
                  : "remote administration password changed (remote administration is off: "
                    "ActivateRemote)");
}

EditResult ConfigEditor::Save(const platform::Clock& clock) {
  if (!CopyToBackup(path_, clock, kConfigOldSuffix)) {
    return Refused("the backup copy in Backup could not be made; nothing was changed");
  }
  if (!store_.Save()) return Refused("the configuration file could not be written");
  return Done("");
}

}  // namespace kestrel
