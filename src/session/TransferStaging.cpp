#include "session/TransferStaging.h"

#include <cerrno>

#include "platform/FileSystem.h"
#include "support/TempNames.h"

namespace kestrel {

TransferStaging::TransferStaging(int slot) : path_(StagingFilePath(slot)) {}

TransferStaging::~TransferStaging() {
  // An unlink locks the Temp folder even when nothing is there to remove.
  if (!moved_) platform::RemoveIfExists(path_);
}

bool TransferStaging::Extract(std::string_view archive_path, const ExtractLimits& limits) {
  platform::RemoveIfExists(path_);
  moved_ = false;
  const ExtractResult result = ExtractArchive(archive_path, path_, limits);
  if (result.ok && result.entries > 0) return true;
  // A failed later entry may have left an earlier one behind: never place a
  // partial upload.
  platform::RemoveIfExists(path_);
  return false;
}

PlaceOutcome TransferStaging::Place(const platform::Directory& folder, std::string_view name,
                                    platform::FileTime last_write) {
  if (!platform::Exists(path_)) return PlaceOutcome::kMoveFailed;
  bool time_set = platform::SetLastWriteTime(path_, last_write) == 0;
  int error = folder.MoveFileIn(path_, name);
  moved_ = error == 0;
  if (error == EXDEV) {
    error = folder.CopyFileIn(path_, name, last_write);
    if (error == 0) time_set = true;
  }
  if (error == platform::kLinkOnTheWay || error == platform::kNotARegularFile) {
    return PlaceOutcome::kRefused;
  }
  if (error != 0) return PlaceOutcome::kMoveFailed;
  return time_set ? PlaceOutcome::kPlaced : PlaceOutcome::kPlacedWithoutTime;
}

int TransferStaging::RenameTo(std::string_view path) {
  const int error = platform::RenameFile(path_, path);
  moved_ = error == 0;
  return error;
}

PlaceOutcome ExtractAndPlace(TransferStaging& staging, std::string_view archive_path,
                             const ExtractLimits& limits, const platform::Directory& root,
                             std::string_view folder, std::string_view name,
                             platform::FileTime last_write) {
  if (!staging.Extract(archive_path, limits)) return PlaceOutcome::kNothingExtracted;
  return PlaceStaged(staging, root, folder, name, last_write);
}

PlaceOutcome PlaceStaged(TransferStaging& staging, const platform::Directory& root,
                         std::string_view folder, std::string_view name,
                         platform::FileTime last_write) {
  platform::Directory target_folder;
  const int error = root.CreateFolders(folder, target_folder);
  if (error == platform::kLinkOnTheWay) return PlaceOutcome::kRefused;
  if (error != 0) return PlaceOutcome::kMoveFailed;
  return staging.Place(target_folder, name, last_write);
}

}  // namespace kestrel
