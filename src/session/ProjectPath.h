#pragma once
// The project file a client request names by folder and file name. The
// folder is "RootFolder" for the project root or a path relative to the root
// with levels separated by "\"; the file name is one name. Both must be
// portable names (projects/NameRules.h) and no component may begin with "~"
// (rights files and the other names a scan keeps to the server), so a
// request can neither leave the root nor touch what only the server handles.
#include <string>
#include <string_view>

namespace kestrel {

struct ProjectTarget {
  std::string folder;     // relative to the root, "\"-separated; "" for the root
  std::string file_name;  // one name
  bool ok = false;        // false: the names are refused
  // folder + "\" + file name, or the bare file name in the root.
  std::string RelativeFile() const;
};

// folder and file name as the request gives them.
ProjectTarget MakeProjectTarget(std::string_view folder, std::string_view file_name);

}  // namespace kestrel
