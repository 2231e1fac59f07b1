#include "projects/ScanResultFile.h"

#include <memory>
#include <mutex>

#include "logging/LogChannel.h"
#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/TextDigest.h"

namespace kestrel::projects {
namespace {

// Reads the whole file into out; false when it cannot be opened or read
// (a missing file, as for the text digest).
bool ReadWhole(const std::string& path, std::string& out) {
  out.clear();
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kRead)) return false;
  constexpr std::size_t kChunk = 256 * 1024;
  for (;;) {
    const std::size_t at = out.size();
    out.resize(at + kChunk);
    const std::size_t got = file.Read(out.data() + at, kChunk);
    out.resize(at + got);
    if (got == 0) return file.LastCause() == CFileNeu::kNone;
  }
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
                                    std::string_view content, std::string& previous,
                                    const std::string& same_file) {
  const std::string temp_path = ScanResultTempPath(current_path);
  const std::string old_path = ScanResultOldPath(current_path);

  // Only this thread writes these files, so reading the current one needs
  // no guard; sessions only read.
  const bool had_previous = ReadWhole(current_path, previous);
  if (had_previous && previous == content) {
    // Nothing changed: the current file already holds these bytes, and the
    // previous one becomes a second name of it, so an unchanged tree costs a
    // comparison and no rewrite.
    std::unique_lock<std::shared_mutex> guard(user.scan_result_guard);
    platform::RemoveIfExists(old_path);
    (void)platform::LinkFile(current_path, old_path);
    return ResultReplacement::kUnchanged;
  }
  // A left-over temporary file may be a second name of another user's result:
  // writing through it would change that result in place.
  platform::RemoveIfExists(temp_path);
  const bool linked = !same_file.empty() && platform::LinkFile(same_file, temp_path) == 0;
  // A full disk fails here, before anything in place was touched.
  if (!linked && !WriteWhole(temp_path, content)) {
    platform::RemoveIfExists(temp_path);
    return ResultReplacement::kWriteFailed;
  }
  // The text digests of the two differ exactly when their line texts do; a
  // missing file has the empty digest, which no document has.
  const bool digests_differ = !had_previous || !SameTextLines(previous, content);

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
