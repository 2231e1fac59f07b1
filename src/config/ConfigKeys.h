#pragma once
// The element names of the server's XML documents, as the files spell them:
// the configuration file and the user-rights files and documents. Every
// reader and writer takes its names from here.
#include <array>
#include <string_view>

namespace kestrel {

// Element names of the configuration file, as the file spells them.
namespace config_keys {
inline constexpr std::string_view kRoot = "KestrelServer_Config";
inline constexpr std::string_view kGeneral = "General";

inline constexpr std::string_view kCustomerInstallation = "CustomerInstallation";
inline constexpr std::string_view kGlobalKey = "GlobalKey";
inline constexpr std::string_view kActivateRemote = "ActivateRemote";
inline constexpr std::string_view kPasswordRemote = "PasswordRemote";
inline constexpr std::string_view kActivateUserPrivileges = "ActivateUserPrivileges";
inline constexpr std::string_view kLogLevel = "LogLevel";
inline constexpr std::string_view kLogUserActivity = "LogUserActivity";
inline constexpr std::string_view kScanIntervallProjects = "ScanIntervallProjects";
inline constexpr std::string_view kScanIntervallUserrights = "ScanIntervallUserrights";
inline constexpr std::string_view kTCPIPListenPort = "TCPIPListenPort";
inline constexpr std::string_view kDeleteEmptyFolders = "DeleteEmptyFolders";
inline constexpr std::string_view kTCPIPListenAddress = "TCPIPListenAddress";
inline constexpr std::string_view kLoginGraceSeconds = "LoginGraceSeconds";
inline constexpr std::string_view kMaxStartupsPerSource = "MaxStartupsPerSource";
inline constexpr std::string_view kMaxStartups = "MaxStartups";

// Section name prefixes; the section's 1-based number follows ("Project2").
inline constexpr std::string_view kProjectPrefix = "Project";
inline constexpr std::string_view kGroupPrefix = "Group";
inline constexpr std::string_view kUserPrefix = "User";

inline constexpr std::string_view kProjectname = "Projectname";
inline constexpr std::string_view kRootpath = "Rootpath";
inline constexpr std::string_view kGroupname = "Groupname";
inline constexpr std::string_view kUsername = "Username";
inline constexpr std::string_view kRealname = "Realname";
inline constexpr std::string_view kPassword = "Password";
inline constexpr std::string_view kUseremail = "Useremail";

// Every key the reader knows, per kind of section (the user's Group%d
// memberships and the project's Group%d containers come on top).
inline constexpr std::array<std::string_view, 15> kGeneralKeys = {kCustomerInstallation,
                                                                  kGlobalKey,
                                                                  kActivateRemote,
                                                                  kPasswordRemote,
                                                                  kActivateUserPrivileges,
                                                                  kLogLevel,
                                                                  kLogUserActivity,
                                                                  kScanIntervallProjects,
                                                                  kScanIntervallUserrights,
                                                                  kTCPIPListenPort,
                                                                  kDeleteEmptyFolders,
                                                                  kTCPIPListenAddress,
                                                                  kLoginGraceSeconds,
                                                                  kMaxStartupsPerSource,
                                                                  kMaxStartups};
inline constexpr std::array<std::string_view, 2> kProjectKeys = {kProjectname, kRootpath};
inline constexpr std::array<std::string_view, 1> kProjectGroupKeys = {kGroupname};
inline constexpr std::array<std::string_view, 4> kUserKeys = {kUsername, kRealname, kPassword,
                                                              kUseremail};
}  // namespace config_keys

// Element names of user-rights files (in project trees) and of the
// user-rights documents the remote tool uploads.
//   file:     UserRights/Group<n>/{Groupname, Visible, Write}
//   document: UserRights/Projectname,
//             UserRights/Folder<n>/{Foldername, Group<m>/{Groupname, Visible, Write}}
namespace rights_keys {
inline constexpr std::string_view kRoot = "UserRights";
inline constexpr std::string_view kProjectname = "Projectname";
inline constexpr std::string_view kFolderPrefix = "Folder";
inline constexpr std::string_view kFoldername = "Foldername";
inline constexpr std::string_view kGroupPrefix = "Group";
inline constexpr std::string_view kGroupname = "Groupname";
inline constexpr std::string_view kVisible = "Visible";
inline constexpr std::string_view kWrite = "Write";
}  // namespace rights_keys

}  // namespace kestrel
