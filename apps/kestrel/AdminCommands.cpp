// The remote administration commands: admin logs, rights, push-config,
// push-rights, passwd.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "ServerLink.h"
#include "Terminal.h"
#include "client/ArchiveUnpack.h"
#include "client/ScanResult.h"
#include "client/TextCodec.h"
#include "client/Transfers.h"
#include "client/WorkFolder.h"
#include "config/ConfigReader.h"
#include "platform/FileSystem.h"
#include "support/ServerFiles.h"
#include "support/XmlStore.h"

namespace kestrel::cli {
namespace {

using client::ToDisplayText;

std::optional<std::string> RemotePassword() {
  std::string error;
  std::optional<std::string> password = ObtainPassword("Remote administration password: ", error);
  if (!password) PrintError(error);
  return password;
}

int LoginRemote(ServerLink& link) {
  const std::optional<std::string> password = RemotePassword();
  return password ? link.LoginRemote(*password) : kExitUsage;
}

// Downloads the server-logs archive over a logged-in link and unpacks it
// into folder (a system path); an exit code. unpacked names what was written.
int FetchServerLogs(ServerLink& link, const std::string& folder, client::UnpackResult& unpacked) {
  client::WorkFolder work;
  if (!work.ok()) {
    PrintError("cannot create a temporary folder");
    return kExitLocal;
  }
  const std::string archive = work.File("serverlogs.zip");
  TransferLine progress(link.settings().progress, "server logs");
  if (const client::TransferResult fetched =
          client::Transfers(link.link(), work).FetchServerLogs(archive, &progress);
      !fetched) {
    return ReportTransfer(fetched);
  }
  unpacked = client::UnpackArchive(archive, folder);
  if (!unpacked.ok) {
    PrintError("the server-logs archive did not unpack: " + unpacked.error);
    return kExitLocal;
  }
  return kExitOk;
}

// The server's configuration as its server-logs archive carries it, read
// the way the server reads it. The remote tool learns the project names and
// the rights interval from it.
struct ServerView {
  client::WorkFolder folder;
  ServerConfig config;
  int code = kExitOk;
};

void FetchServerView(ServerLink& link, ServerView& view) {
  if (!view.folder.ok()) {
    PrintError("cannot create a temporary folder");
    view.code = kExitLocal;
    return;
  }
  client::UnpackResult unpacked;
  view.code = FetchServerLogs(link, view.folder.File(""), unpacked);
  if (view.code != kExitOk) return;
  CXmlStore store;
  ReadConfiguration(store, view.config, view.folder.File(std::string(kConfigFileName)));
  if (!store.IsLoaded()) {
    PrintError("the server-logs archive holds no readable server configuration");
    view.code = kExitConnection;
  }
}

const ProjectRecord* FindProject(const ServerConfig& config, const std::string& name) {
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    if (project->projectname == name) return project.get();
  }
  return nullptr;
}

std::string ProjectNames(const ServerConfig& config) {
  std::string names;
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    names += (names.empty() ? "" : ", ") + ToDisplayText(project->projectname);
  }
  return names.empty() ? "none" : names;
}

// The rights document's folder names as the server wants them: the client's
// "RootFolder" is the document's "Rootfolder", levels are joined by "".
// Returns how many names were changed; false when the copy cannot be saved.
bool NormaliseRightsFolders(CXmlStore& store, int& changed) {
  changed = 0;
  for (int n = 1;; ++n) {
    const std::string tag = SectionTag(rights_keys::kFolderPrefix, n);
    const std::string name = store.GetString({rights_keys::kRoot, tag}, rights_keys::kFoldername);
    if (name.empty()) break;
    std::string mapped = name == kScanRootFolderName ? std::string(kRightsRootFolderName) : name;
    std::replace(mapped.begin(), mapped.end(), '/', '\\');
    while (mapped.size() > 1 && mapped.back() == '\\') mapped.pop_back();
    while (mapped.size() > 1 && mapped.front() == '\\') mapped.erase(0, 1);
    if (mapped == name) continue;
    if (!store.SetExistingString({rights_keys::kRoot, tag}, rights_keys::kFoldername, mapped))
      return false;
    ++changed;
  }
  return changed == 0 || store.Save();
}

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "0";
  if (localtime_r(&now, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", &local);
  return text;
}

enum class DocumentKind { kConfig, kRights };

// The server recognises a configuration by a non-empty
// KestrelServer_Config/General/GlobalKey and a rights document by a non-empty
// UserRights/Projectname; anything else it would drop without a word.
bool CheckDocument(const std::string& path, const std::string& shown, DocumentKind kind) {
  CXmlStore store;
  if (!store.Load(path)) {
    PrintError(shown + " is not a well-formed XML file");
    return false;
  }
  if (kind == DocumentKind::kConfig) {
    if (store.GetString({config_keys::kRoot, config_keys::kGeneral}, config_keys::kGlobalKey)
            .empty()) {
      PrintError(shown +
                 " is not a server configuration (KestrelServer_Config/General/GlobalKey is "
                 "missing or empty)");
      return false;
    }
    if (store.GetString({config_keys::kRoot, "Project1"}, config_keys::kProjectname).empty()) {
      PrintWarning(shown + " has no Project1 section: the server would run without projects");
    }
    return true;
  }
  if (store.GetString({rights_keys::kRoot}, rights_keys::kProjectname).empty()) {
    PrintError(shown +
               " is not a user-rights document (UserRights/Projectname is missing or "
               "empty)");
    return false;
  }
  return true;
}

int PushDocument(const CommandLine& line, const Settings& settings, DocumentKind kind) {
  const std::string& native = Arg(line, 0);
  const std::optional<std::string> source = LocalSystemPath(native);
  if (!source) return kExitUsage;
  if (!platform::Exists(*source) || platform::IsFolder(*source)) {
    PrintError("'" + native + "' is not a readable file");
    return kExitLocal;
  }
  if (!CheckDocument(*source, native, kind)) return kExitUsage;
  const std::optional<std::string> password = RemotePassword();
  if (!password) return kExitUsage;
  client::WorkFolder work;
  if (!work.ok()) {
    PrintError("cannot create a temporary folder");
    return kExitLocal;
  }
  std::string document = *source;
  int rights_minutes = 0;
  int scan_minutes = 0;
  std::string project_shown;
  if (kind == DocumentKind::kRights) {
    // The project must exist: the server would answer success and write nothing.
    ServerLink view_link(settings);
    if (const int code = view_link.LoginRemote(*password); code != kExitOk) return code;
    ServerView view;
    FetchServerView(view_link, view);
    if (view.code != kExitOk) return view.code;
    view_link.Logout();
    document = work.File("rights.xml");
    CXmlStore rights;
    int changed = 0;
    if (platform::CopyFile(*source, document, true) != 0 || !rights.Load(document) ||
        !NormaliseRightsFolders(rights, changed)) {
      PrintError("cannot prepare a copy of " + native);
      return kExitLocal;
    }
    if (changed > 0) {
      std::printf(
          "%d folder name(s) written as the server wants them (RootFolder -> Rootfolder, "
          "\\ between levels)\n",
          changed);
    }
    const std::string project = rights.GetString({rights_keys::kRoot}, rights_keys::kProjectname);
    const ProjectRecord* known = FindProject(view.config, project);
    if (known == nullptr) {
      PrintError("the server has no project '" + ToDisplayText(project) +
                 "' (its projects: " + ProjectNames(view.config) + "); nothing sent");
      return kExitRefused;
    }
    if (!known->user_privileges) {
      PrintWarning(
          "ActivateUserPrivileges is off on the server: the rights files are written "
          "but every user still sees and writes every folder");
    }
    rights_minutes = view.config.settings.scan_intervall_userrights;
    scan_minutes = view.config.settings.scan_intervall_projects;
    project_shown = ToDisplayText(project);
  }
  ServerLink link(settings);
  if (const int code = link.LoginRemote(*password); code != kExitOk) return code;
  // A fresh name each time, so no earlier document in the server's
  // temporary folder is ever taken for this one.
  const std::string name =
      std::string(kind == DocumentKind::kConfig ? "RemoteConfig_" : "RemoteRights_") + Stamp() +
      "_" + std::to_string(::getpid()) + ".xml";
  if (!link.session().RemoteUpload(document, name, work.File("document.zip"))) {
    PrintError(link.RefusedOrNoReply("the document upload", name));
    return kExitConnection;
  }
  if (kind == DocumentKind::kConfig) {
    // The server applies a configuration by restarting, which ends this connection.
    link.Close();
    std::printf("configuration sent; the server merges it and restarts\n");
  } else {
    link.Logout();
    std::printf(
        "user rights sent; the server rewrites the rights files of project %s now. Its next "
        "rights pass, within %d minute(s) (ScanIntervallUserrights), spreads them to "
        "subfolders; users see them after its next scan, within %d minute(s) "
        "(ScanIntervallProjects)\n",
        project_shown.c_str(), std::max(rights_minutes, 0), std::max(scan_minutes, 0));
  }
  return kExitOk;
}

}  // namespace

int RunAdminLogs(const CommandLine& line, const Settings& settings) {
  const std::string native = ArgCount(line) > 0 ? Arg(line, 0) : "server-logs";
  const std::optional<std::string> folder = LocalSystemPath(native);
  if (!folder) return kExitUsage;
  if (!platform::IsFolder(*folder) && platform::CreateFolder(*folder) != 0) {
    PrintError("cannot create the folder '" + native + "'");
    return kExitLocal;
  }
  ServerLink link(settings);
  if (const int code = LoginRemote(link); code != kExitOk) return code;
  client::UnpackResult unpacked;
  const int code = FetchServerLogs(link, *folder, unpacked);
  if (code != kExitOk && unpacked.written.empty()) return code;
  link.Logout();
  for (const std::string& name : unpacked.written) {
    std::printf("%s/%s\n", native.c_str(), ToDisplayText(name).c_str());
  }
  for (const std::string& name : unpacked.skipped) {
    PrintWarning("archive entry not unpacked (not a plain file name): " + ToDisplayText(name));
  }
  return code;
}

int RunAdminRights(const CommandLine& line, const Settings& settings) {
  ServerLink link(settings);
  if (const int code = LoginRemote(link); code != kExitOk) return code;
  ServerView view;
  FetchServerView(link, view);
  if (view.code != kExitOk) return view.code;
  link.Logout();
  const std::string& wanted = Arg(line, 0);
  std::optional<std::string> system_name = client::ToSystemText(wanted);
  const ProjectRecord* project = system_name ? FindProject(view.config, *system_name) : nullptr;
  if (project == nullptr) {
    PrintError("the server has no project '" + wanted +
               "' (its projects: " + ProjectNames(view.config) + ")");
    return kExitRefused;
  }
  std::printf("project %s: per-folder rights %s (ActivateUserPrivileges)\n", wanted.c_str(),
              project->user_privileges ? "on" : "off: every user sees and writes every folder");
  for (const std::unique_ptr<UserRecord>& user : project->users) {
    std::string groups;
    for (const GroupNode& g : user->groups) groups += (groups.empty() ? "" : ", ") + g.name;
    std::printf("user %s: groups %s\n", ToDisplayText(user->username).c_str(),
                ToDisplayText(groups).c_str());
  }
  // Folder -> what each user's last scan result says of it.
  std::vector<std::string> order;
  std::map<std::string, std::vector<std::string>> rows;
  for (std::size_t u = 0; u < project->users.size(); ++u) {
    const UserRecord& user = *project->users[u];
    const client::ScanResultParse parsed = client::LoadScanResult(
        view.folder.File(ScanResultName(project->projectname, user.username)));
    if (!parsed.ok) continue;
    for (const client::RemoteFolder& folder : parsed.result.folders) {
      auto [row, fresh] = rows.try_emplace(folder.name, project->users.size(), "-");
      if (fresh) order.push_back(folder.name);
      const bool writable = !folder.files.empty() && folder.files.front().writable;
      row->second[u] = folder.hidden ? "hidden" : writable ? "read-write" : "read-only";
    }
  }
  std::printf("\n%-32s", "folder");
  for (const std::unique_ptr<UserRecord>& user : project->users) {
    std::printf(" %-12s", ToDisplayText(user->username).c_str());
  }
  std::printf("\n");
  for (const std::string& folder : order) {
    std::string shown = ToDisplayText(folder);
    std::replace(shown.begin(), shown.end(), '\\', '/');
    std::printf("%-32s", shown.c_str());
    for (const std::string& cell : rows[folder]) std::printf(" %-12s", cell.c_str());
    std::printf("\n");
  }
  std::printf(
      "\nThe server-logs archive carries the configuration and each user's last scan result, "
      "not the rights files: shown is what each user may do in every folder that held a file at "
      "the last scan ('-': not in that user's result). The per-group rights live in the "
      "project's ~RootRights.xml and ~FOLDER.xml files (docs/rights.md).\n");
  return kExitOk;
}

int RunAdminPushConfig(const CommandLine& line, const Settings& settings) {
  return PushDocument(line, settings, DocumentKind::kConfig);
}

int RunAdminPushRights(const CommandLine& line, const Settings& settings) {
  return PushDocument(line, settings, DocumentKind::kRights);
}

int RunAdminPasswd(const CommandLine&, const Settings& settings) {
  std::string old_password, new_password;
  if (!ObtainPasswordChange("Current remote administration password: ", old_password,
                            new_password)) {
    return kExitUsage;
  }
  ServerLink link(settings);
  if (const int code = link.LoginRemote(old_password); code != kExitOk) return code;
  return ReportPasswordChange(link, link.session().ChangeRemotePassword(old_password, new_password),
                              "remote administration password changed");
}

}  // namespace kestrel::cli
