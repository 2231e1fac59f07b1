#include "projects/ScanResultFile.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "logging/LogChannel.h"
#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/TextDigest.h"

namespace kestrel::projects {
namespace {

enum class Previous { kMissing, kSame, kDifferent };

// Compares the file with content without holding both in memory. A file that
// cannot be opened is missing, as for the text digest.
Previous CompareWithFile(const std::string& path, std::string_view content) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kRead)) return Previous::kMissing;
  constexpr std::size_t kChunk = 256 * 1024;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  std::size_t offset = 0;
  for (;;) {
    std::size_t got = file.Read(buffer.get(), kChunk);
    if (got == 0) break;
    if (got > content.size() - offset ||
        std::memcmp(buffer.get(), content.data() + offset, got) != 0) {
      return Previous::kDifferent;
    }
    offset += got;
  }
  return offset == content.size() ? Previous::kSame : Previous::kDifferent;
}

bool WriteWhole(const std::string& path, std::string_view content) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate)) return false;
  bool ok = file.Write(content.data(), content.size());
  file.Close();
  return ok && file.LastCause() == CFileNeu::kNone;
}

}  // namespace

ResultReplacement ReplaceScanResult(UserRecord& user, const std::string& current_path,
                                    std::string_view content) {
  const std::string temp_path = ScanResultTempPath(current_path);
  const std::string old_path = ScanResultOldPath(current_path);

  // Only this thread writes these files, so the comparison and the digests
  // need no guard; sessions only read.
  const Previous previous = CompareWithFile(current_path, content);
  if (previous == Previous::kSame) {
    // Nothing changed: the current file already holds these bytes, and the
    // previous one becomes a second name of it, so an unchanged tree costs a
    // comparison and no rewrite.
    std::unique_lock<std::shared_mutex> guard(user.scan_result_guard);
    platform::RemoveIfExists(old_path);
    (void)platform::LinkFile(current_path, old_path);
    return ResultReplacement::kUnchanged;
  }
  // A full disk fails here, before anything in place was touched.
  if (!WriteWhole(temp_path, content)) {
    platform::RemoveIfExists(temp_path);
    return ResultReplacement::kWriteFailed;
  }
  // Identical bytes have identical digests; otherwise both are taken.
  bool digests_differ = true;
  if (previous == Previous::kDifferent) {
    digests_differ = DigestOfTextFile(current_path) != DigestOfTextFile(temp_path);
  }

  bool in_place = false;
  {
    std::unique_lock<std::shared_mutex> guard(user.scan_result_guard);
    // The current file gets ".old" as a second name and the rename replaces
    // it in one step, so a current result exists at every moment.
    platform::RemoveIfExists(old_path);
    if (CFileNeu::Exists(current_path)) (void)platform::LinkFile(current_path, old_path);
    in_place = platform::RenameFile(temp_path, current_path) == 0;
  }
  if (!in_place) {
    platform::RemoveIfExists(temp_path);
    return ResultReplacement::kWriteFailed;
  }
  return digests_differ ? ResultReplacement::kChanged : ResultReplacement::kUnchanged;
}

}  // namespace kestrel::projects
