#pragma once
// The server's configuration in memory: general settings and the projects with
// their groups and users, in file order. Built by the reader on the main
// thread at every start; only password digests change while the server runs
// (through SharedText). Worker threads hold plain pointers into the records
// and never free them; the records live until the next stop.
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config/BusyFlag.h"
#include "config/FolderAccess.h"
#include "config/SharedSnapshot.h"
#include "config/SharedText.h"
#include "support/ServerFiles.h"  // kConfigFilePath

namespace kestrel {

inline constexpr const char* kDefaultGlobalKey = "qa7b5N2dkeMw8rf";

struct GroupNode {
  std::string name;  // never empty
};

struct UserRecord {
  std::string username;           // `Username`
  std::string realname;           // `Realname`
  SharedText password;            // `Password`: digest; replaced in place (main thread)
  std::string useremail;          // `Useremail`
  std::string user_tag;           // "User%d"
  std::string project_tag;        // "Project%d"
  std::vector<GroupNode> groups;  // at least one

  // Run-time state shared by the sessions and the project handler thread.
  // Sessions take the guard shared while they pack the user's scan-result
  // file; the handler takes it exclusively while it replaces the file.
  std::shared_mutex scan_result_guard;
  std::atomic<bool> scan_result_changed{false};  // written by the scan, read by 0x21
};

struct ProjectRecord {
  std::string projectname;                         // `Projectname`
  std::string rootpath;                            // `Rootpath`
  std::vector<GroupNode> groups;                   // at least one
  std::vector<std::unique_ptr<UserRecord>> users;  // at least one; addresses stable
  bool user_privileges = false;                    // copy of ActivateUserPrivileges at creation
  std::string section_tag;                         // "Project%d"

  // Run-time state (project store and sessions).
  BusyFlag rights_pass_running;                 // held while the handler copies a rights file
  std::atomic<bool> changed_by_session{false};  // set by upload/delete, cleared by the scan
  bool delete_empty_folders = false;            // set before the handler thread starts
  // Every user's access to every folder, published by each complete scan (the
  // handler thread) and read by the sessions; null until the first scan.
  SharedSnapshot<FolderAccessTable> folder_access;
  // Scans finished by the handler thread since the record was made, and
  // whether the last one found no root folder; the main window shows them.
  std::atomic<std::uint32_t> scans_finished{0};
  std::atomic<bool> root_missing{false};
};

struct ServerSettings {
  bool customer_installation = true;           // `CustomerInstallation`
  std::string global_key = kDefaultGlobalKey;  // `GlobalKey`
  bool activate_remote = false;                // `ActivateRemote`
  SharedText password_remote;                  // `PasswordRemote`: digest
  bool activate_user_privileges = false;       // `ActivateUserPrivileges`
  int log_level = 1;                           // `LogLevel` 0..2
  bool log_user_activity = false;              // `LogUserActivity`
  std::int32_t scan_intervall_projects = 5;    // `ScanIntervallProjects`, minutes
  std::int32_t scan_intervall_userrights = 1;  // `ScanIntervallUserrights`, minutes
  std::int32_t tcpip_listen_port = 50000;      // `TCPIPListenPort`
  std::string tcpip_listen_address;   // `TCPIPListenAddress`: numeric; empty = every address
  bool delete_empty_folders = false;  // `DeleteEmptyFolders`
  // Connections that have not logged in (0 or less: no limit).
  std::int32_t login_grace_seconds = 30;      // `LoginGraceSeconds`: closed after this
  std::int32_t max_startups_per_source = 64;  // `MaxStartupsPerSource`: at once per address
  std::int32_t max_startups = 128;            // `MaxStartups`: at once in total
};

// Settings plus project list; owned by the main window.
struct ServerConfig {
  ServerSettings settings;
  std::vector<std::unique_ptr<ProjectRecord>> projects;  // file order; addresses stable

  int project_count() const { return static_cast<int>(projects.size()); }
};

}  // namespace kestrel
