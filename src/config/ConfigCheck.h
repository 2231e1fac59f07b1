// The configuration check of `kestrel-server --check-config`: reads
// ".\Config\KestrelServer.xml" as the server would and reports, with the
// parser's line numbers, what would make the server run otherwise than the
// administrator expects: XML errors, unknown or misspelled keys (with the
// known key suggested), numbering gaps and incomplete sections that hide
// later sections, users in undeclared groups, unusable values (ports,
// addresses, booleans, levels, digests), root folders that are missing or
// not folders, colliding per-user file names and rights files that do not
// parse.
//
// Threads: any; works from the current directory like the server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigModel.h"

namespace kestrel {

struct ConfigFinding {
  enum class Kind { kFault, kNote };
  Kind kind = Kind::kFault;
  std::string file;  // system path of the file the line belongs to
  int line = 0;      // 0 when the finding has no line
  std::string text;
};

struct ConfigCheckResult {
  std::vector<ConfigFinding> findings;  // in file order, per check
  // True when some finding is a fault (the tool then exits 1).
  bool has_faults() const;
};

// Checks the configuration file at path (and the folders and rights files
// it names, relative to the current directory).
[[nodiscard]] ConfigCheckResult CheckConfiguration(std::string_view path = kConfigFilePath);

// "Config/KestrelServer.xml:12: error: text" ("note" for notes; no line
// number when there is none); paths shown with "/".
std::string FormatFinding(const ConfigFinding& finding);

// The known name closest to a misspelled one (same letters in another case,
// or at most two edits); "" when none is close.
std::string SuggestKey(std::string_view typed, const std::vector<std::string>& known);

}  // namespace kestrel
