#include "session/TransferStaging.h"

#include <cerrno>
#include <string>

#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/ZipArchive.h"

namespace kestrel {
namespace {

std::mutex& StagingMutex() {
  static std::mutex mu;
  return mu;
}

}  // namespace

std::unique_lock<std::mutex> TransferStaging::Lock() {
  return std::unique_lock<std::mutex>(StagingMutex());
}

bool TransferStaging::Extract(std::string_view archive_path) {
  platform::RemoveIfExists(kStagingFilePath);
  const ExtractResult result = ExtractArchive(archive_path, kStagingFilePath);
  if (result.ok && result.entries > 0) return true;
  // A failed later entry may have left an earlier one behind: never place a
  // partial upload.
  platform::RemoveIfExists(kStagingFilePath);
  return false;
}

PlaceOutcome TransferStaging::Place(const platform::Directory& folder, std::string_view name,
                                    platform::FileTime last_write) {
  if (!platform::Exists(kStagingFilePath)) return PlaceOutcome::kMoveFailed;
  bool time_set = platform::SetLastWriteTime(kStagingFilePath, last_write) == 0;
  int error = folder.MoveFileIn(kStagingFilePath, name);
  if (error == EXDEV) {
    error = folder.CopyFileIn(kStagingFilePath, name, last_write);
    if (error == 0) {
      time_set = true;
      platform::RemoveIfExists(kStagingFilePath);
    }
  }
  if (error == platform::kLinkOnTheWay || error == platform::kNotARegularFile) {
    return PlaceOutcome::kRefused;
  }
  if (error != 0) return PlaceOutcome::kMoveFailed;
  return time_set ? PlaceOutcome::kPlaced : PlaceOutcome::kPlacedWithoutTime;
}

PlaceOutcome ExtractAndPlace(std::string_view archive_path, const platform::Directory& root,
                             std::string_view folder, std::string_view name,
                             platform::FileTime last_write) {
  auto lock = TransferStaging::Lock();
  if (!TransferStaging::Extract(archive_path)) return PlaceOutcome::kNothingExtracted;
  platform::Directory target_folder;
  const int error = root.CreateFolders(folder, target_folder);
  PlaceOutcome outcome = PlaceOutcome::kMoveFailed;
  if (error == 0) {
    outcome = TransferStaging::Place(target_folder, name, last_write);
  } else if (error == platform::kLinkOnTheWay) {
    outcome = PlaceOutcome::kRefused;
  }
  if (outcome == PlaceOutcome::kMoveFailed || outcome == PlaceOutcome::kRefused) {
    platform::RemoveIfExists(kStagingFilePath);
  }
  return outcome;
}

}  // namespace kestrel
