#pragma once
// A connection's staging file ".\Temp\transfer_<slot>.dat": each uploaded
// archive of the connection is extracted into it and the result is moved to
// its place from there. Every connection stages under its own name, so
// extractions of different connections run side by side without any lock;
// the final step is one rename, which replaces its target atomically, so two
// connections placing the same target leave one of the two files whole.
//
// Placement never loses the file it replaces: the complete new file gets its
// last-write time first and is then renamed over the old one in one step.
// It happens in a folder resolved beneath the project root without following
// any link, and never replaces a link or special file.
//
// Threads: an object belongs to its connection's slot thread.
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Directory.h"
#include "support/ZipArchive.h"

namespace kestrel {

enum class PlaceOutcome {
  kPlaced,             // target replaced, last-write time set
  kPlacedWithoutTime,  // target replaced, but the time could not be set
  kNothingExtracted,   // the archive was missing, empty, damaged or over its limits; target
                       // untouched
  kMoveFailed,         // the staged file could not be moved; target untouched
  kRefused,            // a link or special file is the target or on its way; target untouched
};

class TransferStaging {
 public:
  // The staging file of connection number slot.
  explicit TransferStaging(int slot);
  // Removes a staged file that was not moved away.
  ~TransferStaging();
  TransferStaging(const TransferStaging&) = delete;
  TransferStaging& operator=(const TransferStaging&) = delete;

  // Removes any old staged file and extracts every entry of the archive into
  // it, within limits. True when at least one entry was written completely;
  // otherwise no staged file and no side file is left.
  [[nodiscard]] bool Extract(std::string_view archive_path, const ExtractLimits& limits);

  // Moves the staged file to name in folder with the given last-write time,
  // replacing an existing regular file atomically. When the folder lies on
  // another file system the file is copied next to the target under a "~"
  // name (never listed by scans) and renamed from there.
  [[nodiscard]] PlaceOutcome Place(const platform::Directory& folder, std::string_view name,
                                   platform::FileTime last_write);

  // Renames the staged file to a system path of the same folder. An errno value.
  [[nodiscard]] int RenameTo(std::string_view path);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool moved_ = false;  // renamed away: nothing left to remove
};

// The client upload's whole step: extract, create the target folder
// (relative to root, "" for the root itself) with every missing level, place.
PlaceOutcome ExtractAndPlace(TransferStaging& staging, std::string_view archive_path,
                             const ExtractLimits& limits, const platform::Directory& root,
                             std::string_view folder, std::string_view name,
                             platform::FileTime last_write);

// The step after extraction, for a file already in the staging file.
PlaceOutcome PlaceStaged(TransferStaging& staging, const platform::Directory& root,
                         std::string_view folder, std::string_view name,
                         platform::FileTime last_write);

}  // namespace kestrel
