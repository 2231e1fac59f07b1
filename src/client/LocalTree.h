#pragma once
// The files of a local folder tree as a synchronisation sees them: keyed like
// the server's files ("Docs\team.csv"), with size and last-write time.
// Names the server could not carry or would never list are left out and
// reported: names beginning with "~", names with ":" or control characters,
// names outside 8-bit text, symbolic links, and this client's own state and
// temporary files.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace kestrel::client {

struct LocalFile {
  std::uint64_t size = 0;
  platform::FileTime last_write = 0;
  std::string digest = {};  // of the contents, where a sync needed it; else empty
  bool operator==(const LocalFile&) const = default;
};

using LocalListing = std::map<std::string, LocalFile>;

struct SkippedName {
  std::string key;     // below the root, "\" between levels
  std::string reason;  // for the user
};

struct LocalTree {
  int error = 0;  // errno of listing the root itself; 0 = listed
  LocalListing files;
  std::vector<SkippedName> skipped;
  int untranslatable = 0;  // names with characters above U+00FF
};

// True for the names this client itself leaves in a synchronised folder.
bool IsClientWorkFile(std::string_view key);

// root: system path of the folder.
LocalTree ListLocalTree(std::string_view root);

// The system path of a key below root.
std::string LocalPath(std::string_view root, std::string_view key);

}  // namespace kestrel::client
