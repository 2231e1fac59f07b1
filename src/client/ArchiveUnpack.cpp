#include "client/ArchiveUnpack.h"

#include "client/LocalTree.h"
#include "client/RemotePath.h"

namespace kestrel::client {

UnpackResult UnpackArchive(std::string_view archive, std::string_view folder) {
  UnpackResult result;
  std::vector<std::string> placed;
  const ExtractResult extracted =
      ExtractEntries(archive, folder, [&](std::string_view name) -> std::optional<std::string> {
        if (!IsPlainName(name) || IsClientWorkFile(name)) {
          result.skipped.emplace_back(name);
          return std::nullopt;
        }
        placed.emplace_back(name);
        return LocalPath(folder, name);
      });
  result.ok = extracted.ok;
  if (!extracted.ok) {
    result.error = ExtractFailureText(extracted.reason);
    // The entry being written when the extraction stopped.
    if (extracted.entries < static_cast<int>(placed.size()))
      result.error = placed.back() + ": " + result.error;
    placed.resize(static_cast<std::size_t>(extracted.entries));
  }
  result.written = std::move(placed);
  return result;
}

const char* ExtractFailureText(ExtractFailure failure) {
  switch (failure) {
    case ExtractFailure::kNone:
      return "no error";
    case ExtractFailure::kCannotOpen:
      return "the received data is not a zip archive";
    case ExtractFailure::kNoSpace:
      return "not enough free disk space";
    case ExtractFailure::kUnsupportedEntry:
      return "the archive entry is encrypted or uses an unknown method";
    case ExtractFailure::kBadData:
      return "the archive data is damaged";
    case ExtractFailure::kSizeMismatch:
      return "the archive entry has the wrong size";
    case ExtractFailure::kCrcMismatch:
      return "the archive entry fails its checksum";
    case ExtractFailure::kWriteFailed:
      return "the local file could not be written";
    case ExtractFailure::kTooManyEntries:
      return "the archive has too many entries";
    case ExtractFailure::kTooLarge:
      return "the archive holds more data than expected";
    case ExtractFailure::kRatio:
      return "the archive entry claims more data than its compressed size can hold";
  }
  return "unknown failure";
}

}  // namespace kestrel::client
