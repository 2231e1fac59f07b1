#include "config/ConfigReader.h"

#include <array>
#include <memory>
#include <utility>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/Socket.h"

namespace kestrel {
namespace {

namespace keys = config_keys;

// Values of settings whose element is absent from a file that loads. They
// differ from the start values in ServerSettings for GlobalKey (empty) and
// ScanIntervallUserrights (5).
constexpr bool kMissingCustomerInstallation = true;
constexpr bool kMissingActivateRemote = false;
constexpr bool kMissingActivateUserPrivileges = false;
constexpr int kMissingLogLevel = kLogWarning;
constexpr bool kMissingLogUserActivity = false;
constexpr int kMissingScanIntervallProjects = 5;
constexpr int kMissingScanIntervallUserrights = 5;
constexpr int kMissingTCPIPListenPort = 50000;
constexpr bool kMissingDeleteEmptyFolders = false;
constexpr int kMissingLoginGraceSeconds = 30;
constexpr int kMissingMaxStartupsPerSource = 64;
constexpr int kMissingMaxStartups = 128;

void ReadGeneral(const CXmlStore& store, ServerSettings& settings) {
  const XmlPath general{keys::kRoot, keys::kGeneral};
  // LogLevel must match one of the logbook's level names exactly.
  const std::array<std::string_view, 3> level_names{
      LogLevelName(kLogError), LogLevelName(kLogWarning), LogLevelName(kLogInfo)};

  settings.customer_installation =
      store.GetBool(general, keys::kCustomerInstallation, kMissingCustomerInstallation);
  settings.global_key = store.GetString(general, keys::kGlobalKey);
  settings.activate_remote = store.GetBool(general, keys::kActivateRemote, kMissingActivateRemote);
  settings.password_remote.Set(store.GetString(general, keys::kPasswordRemote));
  settings.activate_user_privileges =
      store.GetBool(general, keys::kActivateUserPrivileges, kMissingActivateUserPrivileges);
  settings.log_level = store.GetIndex(general, keys::kLogLevel, level_names, kMissingLogLevel);
  settings.log_user_activity =
      store.GetBool(general, keys::kLogUserActivity, kMissingLogUserActivity);
  settings.scan_intervall_projects =
      store.GetInt(general, keys::kScanIntervallProjects, kMissingScanIntervallProjects);
  settings.scan_intervall_userrights =
      store.GetInt(general, keys::kScanIntervallUserrights, kMissingScanIntervallUserrights);
  settings.tcpip_listen_port =
      store.GetInt(general, keys::kTCPIPListenPort, kMissingTCPIPListenPort);
  settings.delete_empty_folders =
      store.GetBool(general, keys::kDeleteEmptyFolders, kMissingDeleteEmptyFolders);
  settings.tcpip_listen_address = store.GetString(general, keys::kTCPIPListenAddress);
  settings.login_grace_seconds =
      store.GetInt(general, keys::kLoginGraceSeconds, kMissingLoginGraceSeconds);
  settings.max_startups_per_source =
      store.GetInt(general, keys::kMaxStartupsPerSource, kMissingMaxStartupsPerSource);
  settings.max_startups = store.GetInt(general, keys::kMaxStartups, kMissingMaxStartups);
}

// A port outside 1..65535 (70000 would wrap to 4464, 0 or "abc" would pick
// a random port) or an address that is not numeric: refused, and the server
// runs without listening, as it does when the port is busy.
void JudgeListenSettings(const CXmlStore& store, const ServerSettings& settings,
                         ReadReport& report) {
  const XmlPath general{keys::kRoot, keys::kGeneral};
  if (settings.tcpip_listen_port < 1 || settings.tcpip_listen_port > kMaxPort) {
    report.errors.push_back(
        StringPrintf("%s '%s' is not a port number from 1 to %d: the server does not listen",
                     std::string(keys::kTCPIPListenPort).c_str(),
                     store.GetString(general, keys::kTCPIPListenPort).c_str(), kMaxPort));
    report.listen_refused = true;
  }
  const std::string& address = settings.tcpip_listen_address;
  if (!address.empty() && !platform::IsNumericAddress(address)) {
    report.errors.push_back(
        StringPrintf("%s '%s' is not a numeric IPv4 or IPv6 address: the server does not listen",
                     std::string(keys::kTCPIPListenAddress).c_str(), address.c_str()));
    report.listen_refused = true;
  }
}

// Group names of a project: Group1/Groupname, Group2/Groupname, ... up to the
// first empty one.
void ReadProjectGroups(const CXmlStore& store, ProjectRecord& project) {
  for (int m = 1;; ++m) {
    const std::string group_tag = SectionTag(keys::kGroupPrefix, m);
    std::string name =
        store.GetString(XmlPath{keys::kRoot, project.section_tag, group_tag}, keys::kGroupname);
    if (name.empty()) return;
    project.groups.push_back(GroupNode{std::move(name)});
  }
}

// User m of a project; null when the section is incomplete (a text missing
// or no group), which ends the project's user list.
std::unique_ptr<UserRecord> ReadUser(const CXmlStore& store, const std::string& project_tag,
                                     int m) {
  auto user = std::make_unique<UserRecord>();
  user->user_tag = SectionTag(keys::kUserPrefix, m);
  user->project_tag = project_tag;

  const XmlPath section{keys::kRoot, project_tag, user->user_tag};
  user->username = store.GetString(section, keys::kUsername);
  user->realname = store.GetString(section, keys::kRealname);
  std::string password = store.GetString(section, keys::kPassword);
  user->useremail = store.GetString(section, keys::kUseremail);
  for (int k = 1;; ++k) {
    std::string group = store.GetString(section, SectionTag(keys::kGroupPrefix, k));
    if (group.empty()) break;
    user->groups.push_back(GroupNode{std::move(group)});
  }

  if (user->username.empty() || user->realname.empty() || password.empty() ||
      user->useremail.empty() || user->groups.empty()) {
    return nullptr;
  }
  user->password.Set(std::move(password));
  return user;
}

// Project n; null when the section is incomplete (name or root path missing,
// no group or no complete first user), which ends the project list.
std::unique_ptr<ProjectRecord> ReadProject(const CXmlStore& store, bool user_privileges, int n) {
  auto project = std::make_unique<ProjectRecord>();
  project->section_tag = SectionTag(keys::kProjectPrefix, n);
  project->user_privileges = user_privileges;

  const XmlPath section{keys::kRoot, project->section_tag};
  project->projectname = store.GetString(section, keys::kProjectname);
  project->rootpath = store.GetString(section, keys::kRootpath);
  if (project->projectname.empty() || project->rootpath.empty()) return nullptr;

  ReadProjectGroups(store, *project);
  for (int m = 1;; ++m) {
    std::unique_ptr<UserRecord> user = ReadUser(store, project->section_tag, m);
    if (!user) break;
    project->users.push_back(std::move(user));
  }
  if (project->groups.empty() || project->users.empty()) return nullptr;
  return project;
}

}  // namespace

std::string SectionTag(std::string_view prefix, int number) {
  std::string tag(prefix);
  tag += std::to_string(number);
  return tag;
}

void ReadConfiguration(CXmlStore& store, ServerConfig& config, std::string_view path,
                       ReadReport* report) {
  config.settings = ServerSettings{};
  config.projects.clear();
  if (!store.Load(path)) return;

  ReadGeneral(store, config.settings);
  for (int n = 1;; ++n) {
    std::unique_ptr<ProjectRecord> project =
        ReadProject(store, config.settings.activate_user_privileges, n);
    if (!project) break;
    config.projects.push_back(std::move(project));
  }

  ReadReport findings;
  JudgeListenSettings(store, config.settings, findings);
  findings.collisions = LeaveOutCollidingUsers(config);
  for (const NameCollision& collision : findings.collisions) {
    findings.errors.push_back(CollisionText(collision));
    if (collision.project_emptied) findings.errors.push_back(EmptiedProjectText(collision));
  }
  if (report != nullptr) *report = std::move(findings);
}

}  // namespace kestrel
