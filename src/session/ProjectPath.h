#pragma once
// Paths inside a project from the folder and file names of client requests.
// The folder is "RootFolder" for the project root or a path relative to the
// root with levels separated by "\". Names are split at "\" and refused when
// a component is empty, "." or "..", holds "/", ":" or a control character,
// or when the name is absolute, so a request can never reach outside the root.
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr std::string_view kRootFolderName = "RootFolder";

// True when every "\"-separated component of name is a plain name.
bool IsSafeRelativeName(std::string_view name);

// A target below a project root. Empty strings when the names are refused.
struct ProjectTarget {
  std::string folder;  // root, or root + "\" + folder
  std::string file;    // folder + "\" + file name
  bool ok() const { return !file.empty(); }
};

// root: the project's root path. folder and file name as the request gives
// them; both must be non-empty.
ProjectTarget MakeProjectTarget(std::string_view root, std::string_view folder,
                                std::string_view file_name);

}  // namespace kestrel
