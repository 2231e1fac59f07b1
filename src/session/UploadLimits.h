#pragma once
// How far an upload may grow. A client announces its file's size with the
// upload request: the archive it sends may hold that much plus zip's
// overhead, and extraction may write exactly that much from a few entries
// (clients send one). The remote tool's documents are small. An upload
// whose archive outgrows its bound is spoiled: its later chunks are
// acknowledged and dropped, and its end places nothing.
#include <cstdint>

#include "support/ZipArchive.h"

namespace kestrel {

struct UploadLimits {
  std::uint64_t archive_bytes = 0;  // the raw archive received in chunks
  ExtractLimits extract;            // what its extraction may write
};

// Entries an uploaded archive may hold.
inline constexpr int kMaxUploadEntries = 16;
// The largest document the remote tool uploads (configuration, rights).
inline constexpr std::uint64_t kMaxRemoteDocumentBytes = 16ull << 20;
// A growing archive looks at the free space of its file system each time it
// has grown by this much, and is spoiled when less than the extraction
// reserve is left, so that no number of uploads fills the disk.
inline constexpr std::uint64_t kSpaceCheckBytes = 4ull << 20;

// The largest archive of a file of file_bytes: file_bytes + file_bytes/1000
// + 64 KiB (deflate's worst case and the zip headers), saturating.
[[nodiscard]] std::uint64_t ArchiveBound(std::uint64_t file_bytes);
// A client's upload of a file of the announced size (a negative size counts as 0).
[[nodiscard]] UploadLimits ClientUploadLimits(std::int64_t announced_size);
// The remote tool's upload of a document.
[[nodiscard]] UploadLimits RemoteUploadLimits();

}  // namespace kestrel
