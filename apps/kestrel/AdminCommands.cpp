// The remote administration commands: admin logs, push-config, push-rights, passwd.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "Commands.h"
#include "ExitCodes.h"
#include "ServerLink.h"
#include "Terminal.h"
#include "client/ArchiveUnpack.h"
#include "client/TextCodec.h"
#include "client/Transfers.h"
#include "client/WorkFolder.h"
#include "platform/FileSystem.h"
#include "support/XmlStore.h"

namespace kestrel::cli {
namespace {

using client::ToDisplayText;

int LoginRemote(ServerLink& link) {
  std::string error;
  const std::optional<std::string> password =
      ObtainPassword("Remote administration password: ", error);
  if (!password) {
    PrintError(error);
    return kExitUsage;
  }
  return link.LoginRemote(*password);
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
    if (store.GetString({"KestrelServer_Config", "General"}, "GlobalKey").empty()) {
      PrintError(shown +
                 " is not a server configuration (KestrelServer_Config/General/GlobalKey is "
                 "missing or empty)");
      return false;
    }
    if (store.GetString({"KestrelServer_Config", "Project1"}, "Projectname").empty()) {
      PrintWarning(shown + " has no Project1 section: the server would run without projects");
    }
    return true;
  }
  if (store.GetString({"UserRights"}, "Projectname").empty()) {
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
  ServerLink link(settings);
  if (const int code = LoginRemote(link); code != kExitOk) return code;
  client::WorkFolder work;
  if (!work.ok()) {
    PrintError("cannot create a temporary folder");
    return kExitLocal;
  }
  // A fresh name each time, so no earlier document in the server's
  // temporary folder is ever taken for this one.
  const std::string name =
      std::string(kind == DocumentKind::kConfig ? "RemoteConfig_" : "RemoteRights_") + Stamp() +
      "_" + std::to_string(::getpid()) + ".xml";
  if (!link.session().RemoteUpload(*source, name, work.File("document.zip"))) {
    PrintError(link.RefusedOrNoReply("the document upload", name));
    return kExitConnection;
  }
  if (kind == DocumentKind::kConfig) {
    // The server applies a configuration by restarting, which ends this connection.
    link.Close();
    std::printf("configuration sent; the server merges it and restarts\n");
  } else {
    link.Logout();
    std::printf("user rights sent; the server rewrites the rights files of the project\n");
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
  client::WorkFolder work;
  if (!work.ok()) {
    PrintError("cannot create a temporary folder");
    return kExitLocal;
  }
  const std::string archive = work.File("serverlogs.zip");
  TransferLine progress(settings.progress, "server logs");
  if (const client::TransferResult fetched =
          client::Transfers(link.link(), work).FetchServerLogs(archive, &progress);
      !fetched) {
    return ReportTransfer(fetched);
  }
  link.Logout();
  const client::UnpackResult unpacked = client::UnpackArchive(archive, *folder);
  for (const std::string& name : unpacked.written) {
    std::printf("%s/%s\n", native.c_str(), ToDisplayText(name).c_str());
  }
  for (const std::string& name : unpacked.skipped) {
    PrintWarning("archive entry not unpacked (not a plain file name): " + ToDisplayText(name));
  }
  if (!unpacked.ok) {
    PrintError("the server-logs archive did not unpack: " + unpacked.error);
    return kExitLocal;
  }
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
