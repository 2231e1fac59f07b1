// Removal of old project roots. When a project leaves the configuration its
// root folder stays on disk; the clean-up lists every folder beside the
// project roots that no project claims, with the date it was first seen, and
// deletes it with all its contents once it has been seen for more than 14
// days of 86400 real seconds, counted from 00:00 local time of that date.
//
// The clean-up works only in the server's managed layout (CustomerInstallation
// off, every project root ".\Rootfolder\<name>"): there the base folder holds
// nothing but project roots. With arbitrary root paths it records and deletes
// nothing. It never deletes a configured root or a folder holding one, and a
// symbolic link in the base folder is not a folder of its own to delete.
//
// List file ".\Config\ObsoleteFolders.xml": ObsoleteFolders/Folder<N> with
// Folderpath and Timestamp ("%d.%m.%y"), numbered from 1 without gaps.
//
// Threads: main window thread only (at start and once a day).
#pragma once

#include <string_view>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "platform/Clock.h"
#include "support/ServerFiles.h"

namespace kestrel::projects {

using kestrel::kManagedBaseFolder;  // support/ServerFiles.h, as the list files
using kestrel::kObsoleteFoldersList;
using kestrel::kObsoleteFoldersRewrite;
inline constexpr int kObsoleteRetentionDays = 14;

// Checks every folder of the base folder: records newly obsolete ones with
// today's date and deletes those whose time is up, logging "Obsolete folder
// deleted: Foldername" at Warning for each. Returns the number of folders
// deleted. log: borrowed for the call; records are dropped while no logging
// window exists (as during StartServer).
int CleanUpObsoleteFolders(const ServerConfig& config, const platform::Clock& clock,
                           const LogChannel& log);

// True when the clock's now lies more than 14 x 86400 seconds after 00:00
// local time of the list date ("dd.mm.yy"). Dates that are not two-digit
// fields, or outside 1971-2037 / month 1-12 / day 1-31, never expire; a day
// past the end of its month counts into the next month (31.02.26 is 3 March
// 2026).
bool ObsoleteDateExpired(std::string_view timestamp, const platform::Clock& clock);

}  // namespace kestrel::projects
