// Documents uploaded by the remote administration tool: recognising them and
// merging an uploaded server configuration into ".\Config\KestrelServer.xml".
//
// The merge keeps the server's own General section (only six values are taken
// over from the upload: ActivateUserPrivileges, LogLevel, LogUserActivity,
// ScanIntervallProjects, ScanIntervallUserrights, DeleteEmptyFolders, and only
// where the server's file already has the element) and replaces the project
// sections with the uploaded ones, copied as text in numeric order up to the
// first missing number. GlobalKey, ActivateRemote, PasswordRemote,
// TCPIPListenPort and CustomerInstallation always stay the server's.
//
// Every replaced or received document is kept in ".\Backup" under a name
// stamped "%d_%m_%y %H_%M_%S" (local time, taken anew for each copy).
//
// Threads: main window thread only.
#pragma once

#include <string>
#include <string_view>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "support/XmlStore.h"

namespace kestrel {

// Record of message 42778 (WM_REMOTE_DOCUMENT): the path of a document the
// remote administration tool uploaded. Posted by the session, owned and freed
// by the main window whatever the outcome.
struct RemoteDocumentRecord final : platform::MessageRecord {
  explicit RemoteDocumentRecord(std::string p) : path(std::move(p)) {}
  std::string path;  // system path, e.g. ".\Temp\XMLConfig_3.xml"
};

// What an uploaded document holds; both can be true for one document.
struct RemoteDocumentKinds {
  // KestrelServer_Config/General/GlobalKey has text.
  bool server_configuration = false;
  // UserRights/Projectname has text.
  bool user_rights = false;
};

// Loads the document once to look at it; an unreadable document is neither.
RemoteDocumentKinds ClassifyRemoteDocument(std::string_view path);

// BackupPath (support/ServerFiles.h) stamped with the clock's local time.
std::string BackupFilePath(const platform::Clock& clock, std::string_view suffix);
// Copies from to BackupFilePath(clock, suffix), replacing a file of that name;
// creates ".\Backup" when it is missing. False when the copy failed (callers
// carry on: a missing backup never stops an update).
bool CopyToBackup(std::string_view from, const platform::Clock& clock, std::string_view suffix);

// Merges the uploaded server configuration at received_path into the file at
// config_path, keeps the three backups (old file, merged file, received
// document), logs "Server config updated" at Warning and deletes the received
// file. Returns true when the merge was done and the caller must now restart
// the server (StopServer, then StartServer) so that it runs on the merged
// file; config_store then holds the merged document.
//
// Returns false, changing nothing and keeping the received file, when the
// received document or the configuration file cannot be loaded; config_store
// is then left as it was.
//
// log: borrowed for the call; records are dropped while no logging window exists.
bool UpdateConfiguration(std::string_view received_path, CXmlStore& config_store,
                         const platform::Clock& clock, const LogChannel& log,
                         std::string_view config_path = kConfigFilePath);

}  // namespace kestrel
