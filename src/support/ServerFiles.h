#pragma once
// Every file the server writes, named in this one place: one function or
// constant per kind of file, beside the folders they live in. The files of
// ".\Temp" are declared in TempNames.h, which is part of this module.
//
//   .\Config\KestrelServer.xml                   the configuration
//   .\Config\Scanresult_<project>_<user>.xml     a user's scan result, with
//            ... .xml.old / ... .xml.tmp         the one before / the one being written
//   .\Config\ObsoleteFolders.xml                 the obsolete-folder list
//   .\Backup\<stamp><suffix>                     backups of replaced and received documents
//   .\logs\Server Logbook <year>_<month>.log     the logbook
//   logs\Server UserLog <year>_<month>.log       the user-activity log
//   logs\Connections <year>_<month>.log          the daily connection counts
//   <root>\~RootRights.xml, <parent>\~<name>.xml the rights files of a project tree
//   .\Temp\...                                   staging and transfer archives (TempNames.h)
//
// The project root has two names: "RootFolder" in scan results and client
// requests, "Rootfolder" in user-rights documents and the managed layout.
#include <array>
#include <string>
#include <string_view>

#include "support/TempNames.h"

namespace kestrel {

// Working folders, created at every start.
inline constexpr const char* kLogsFolder = ".\\logs";
inline constexpr const char* kConfigFolder = ".\\Config";
inline constexpr const char* kBackupFolder = ".\\Backup";
inline constexpr std::array<const char*, 4> kWorkingFolders = {kLogsFolder, kConfigFolder,
                                                               kBackupFolder, kTempFolder};

// The configuration file (also the entry name in the server-logs archive).
inline constexpr std::string_view kConfigFileName = "KestrelServer.xml";
inline constexpr const char* kConfigFilePath = ".\\Config\\KestrelServer.xml";
static_assert(std::string_view(kConfigFilePath).ends_with(kConfigFileName));

// Scan results: "Scanresult_%s_%s.xml" (project name, user name) in ".\Config".
std::string ScanResultName(std::string_view project_name, std::string_view user_name);
std::string ScanResultPath(std::string_view project_name, std::string_view user_name);
// The scan result before the current one, and the name a new one is written under.
std::string ScanResultOldPath(std::string_view current_path);
std::string ScanResultTempPath(std::string_view current_path);
// True for a bare name "Scanresult*.xml" in any letter case (the server-logs archive).
bool IsScanResultName(std::string_view name);

// The obsolete-folder list, and the name it is rewritten under.
inline constexpr const char* kObsoleteFoldersList = ".\\Config\\ObsoleteFolders.xml";
inline constexpr const char* kObsoleteFoldersRewrite = ".\\Config\\ObsoleteFoldersNew.xml";

// Backups: ".\Backup\" + stamp ("%d_%m_%y %H_%M_%S", local time) + suffix.
inline constexpr const char* kBackupStampFormat = "%d_%m_%y %H_%M_%S";
inline constexpr std::string_view kConfigOldSuffix = "_ServerConfig_old.xml";
inline constexpr std::string_view kConfigNewSuffix = "_ServerConfig_New.xml";
inline constexpr std::string_view kConfigDownloadSuffix = "_ServerConfig_Download.xml";
inline constexpr std::string_view kUserRightsBackupSuffix = "_UserRigths.xml";
std::string BackupPath(std::string_view stamp, std::string_view suffix);

// Monthly logs (four-digit year, month 1 to 12).
std::string LogbookPath(int year, int month);
std::string UserLogPath(int year, int month);
std::string ConnectionsLogPath(int year, int month);

// Rights files. The root's lies in the root; any other folder's lies in the
// folder's parent as "~<name>.xml".
inline constexpr const char* kRootRightsName = "~RootRights.xml";
// The template a new managed root's rights file is copied from.
inline constexpr const char* kRootRightsTemplate = "~RootRights_default.xml";
// "<root>\~RootRights.xml".
std::string RootRightsPath(std::string_view root);
// "~<name>.xml": the rights file of folder <name>, in that folder's parent.
std::string FolderRightsName(std::string_view name);
// "<parent>\~<name>.xml": the rights file of folder <parent>\<name>.
std::string FolderRightsPath(std::string_view parent, std::string_view name);
// True for a bare name "~<something>.xml".
bool IsRightsFileName(std::string_view name);

// The project root as scan results and client requests name it.
inline constexpr std::string_view kScanRootFolderName = "RootFolder";
// The project root as user-rights documents name it.
inline constexpr std::string_view kRightsRootFolderName = "Rootfolder";
// The managed layout (CustomerInstallation off): project roots
// ".\Rootfolder\Project<n>" in one base folder.
inline constexpr const char* kManagedBaseFolder = ".\\Rootfolder";
inline constexpr std::string_view kManagedRootPrefix = ".\\Rootfolder\\Project";

}  // namespace kestrel
