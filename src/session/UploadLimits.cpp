#include "session/UploadLimits.h"

#include <limits>

namespace kestrel {
namespace {

constexpr std::uint64_t kZipOverhead = 64 * 1024;

UploadLimits LimitsFor(std::uint64_t file_bytes) {
  UploadLimits limits;
  limits.archive_bytes = ArchiveBound(file_bytes);
  limits.extract.max_entries = kMaxUploadEntries;
  limits.extract.max_total_bytes = file_bytes;
  return limits;
}

}  // namespace

std::uint64_t ArchiveBound(std::uint64_t file_bytes) {
  const std::uint64_t margin = file_bytes / 1000 + kZipOverhead;
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  return file_bytes > max - margin ? max : file_bytes + margin;
}

UploadLimits ClientUploadLimits(std::int64_t announced_size) {
  return LimitsFor(announced_size < 0 ? 0 : static_cast<std::uint64_t>(announced_size));
}

UploadLimits RemoteUploadLimits() {
  return LimitsFor(kMaxRemoteDocumentBytes);
}

}  // namespace kestrel
