#pragma once
// The staging file ".\Temp\transfer.dat" is one file for the whole server:
// every uploaded archive is extracted into it and the result is moved to its
// place from there (project teardown removes a leftover one, and the remote
// tool's uploads are renamed from it). Extraction and placement therefore
// run under one process-wide lock, so two connections never swap or mix
// their files, and the staged file is always this caller's own.
//
// Placement never loses the file it replaces: the complete new file gets its
// last-write time first and is then renamed over the old one in one step.
// It happens in a folder resolved beneath the project root without following
// any link, and never replaces a link or special file.
#include <mutex>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Directory.h"
#include "support/ServerFiles.h"  // kStagingFilePath

namespace kestrel {

enum class PlaceOutcome {
  kPlaced,             // target replaced, last-write time set
  kPlacedWithoutTime,  // target replaced, but the time could not be set
  kNothingExtracted,   // the archive was missing, empty or damaged; target untouched
  kMoveFailed,         // the staged file could not be moved; target untouched
  kRefused,            // a link or special file is the target or on its way; target untouched
};

class TransferStaging {
 public:
  // The process-wide lock; hold it from Extract to the end of the placement.
  static std::unique_lock<std::mutex> Lock();

  // Lock held: removes any old staged file and extracts every entry of the
  // archive into it. True when at least one entry was written completely
  // (a damaged archive leaves no staged file behind).
  static bool Extract(std::string_view archive_path);

  // Lock held: moves the staged file to name in folder with the given
  // last-write time, replacing an existing regular file atomically. When the
  // folder lies on another file system the file is copied next to the target
  // under a "~" name (never listed by scans) and renamed from there.
  static PlaceOutcome Place(const platform::Directory& folder, std::string_view name,
                            platform::FileTime last_write);
};

// The client upload's whole step: lock, extract, create the target folder
// (relative to root, "" for the root itself) with every missing level, place.
PlaceOutcome ExtractAndPlace(std::string_view archive_path, const platform::Directory& root,
                             std::string_view folder, std::string_view name,
                             platform::FileTime last_write);

}  // namespace kestrel
