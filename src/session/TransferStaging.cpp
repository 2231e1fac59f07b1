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

// Copy beside the target, then the same one-step rename.
PlaceOutcome PlaceAcrossFileSystems(std::string_view target, platform::FileTime last_write) {
  const std::size_t cut = target.rfind('\\');
  if (cut == std::string_view::npos) return PlaceOutcome::kMoveFailed;
  std::string side(target.substr(0, cut));
  side += "\\~transfer.tmp";
  if (platform::CopyFile(kStagingFilePath, side, true) != 0) {
    platform::DeleteFile(side);
    return PlaceOutcome::kMoveFailed;
  }
  const bool time_set = platform::SetLastWriteTime(side, last_write) == 0;
  if (platform::RenameFile(side, target) != 0) {
    platform::DeleteFile(side);
    return PlaceOutcome::kMoveFailed;
  }
  platform::DeleteFile(kStagingFilePath);
  return time_set ? PlaceOutcome::kPlaced : PlaceOutcome::kPlacedWithoutTime;
}

}  // namespace

std::unique_lock<std::mutex> TransferStaging::Lock() {
  return std::unique_lock<std::mutex>(StagingMutex());
}

bool TransferStaging::Extract(std::string_view archive_path) {
  if (platform::Exists(kStagingFilePath)) platform::DeleteFile(kStagingFilePath);
  const ExtractResult result = ExtractArchive(archive_path, kStagingFilePath);
  if (result.ok && result.entries > 0) return true;
  // A failed later entry may have left an earlier one behind: never place a
  // partial upload.
  platform::DeleteFile(kStagingFilePath);
  return false;
}

PlaceOutcome TransferStaging::Place(std::string_view target, platform::FileTime last_write) {
  if (!platform::Exists(kStagingFilePath)) return PlaceOutcome::kMoveFailed;
  const bool time_set = platform::SetLastWriteTime(kStagingFilePath, last_write) == 0;
  const int error = platform::RenameFile(kStagingFilePath, target);
  if (error == EXDEV) return PlaceAcrossFileSystems(target, last_write);
  if (error != 0) return PlaceOutcome::kMoveFailed;
  return time_set ? PlaceOutcome::kPlaced : PlaceOutcome::kPlacedWithoutTime;
}

PlaceOutcome ExtractAndPlace(std::string_view archive_path, std::string_view target_folder,
                             std::string_view target, platform::FileTime last_write) {
  auto lock = TransferStaging::Lock();
  if (!TransferStaging::Extract(archive_path)) return PlaceOutcome::kNothingExtracted;
  CFileNeu::CreatePath(target_folder);
  const PlaceOutcome outcome = TransferStaging::Place(target, last_write);
  if (outcome == PlaceOutcome::kMoveFailed) platform::DeleteFile(kStagingFilePath);
  return outcome;
}

}  // namespace kestrel
