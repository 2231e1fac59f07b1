#include "session/ProjectPath.h"

namespace kestrel {
namespace {

bool IsSafeComponent(std::string_view part) {
  if (part.empty() || part == "." || part == "..") return false;
  for (const char c : part) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == ':') return false;
  }
  return true;
}

}  // namespace

bool IsSafeRelativeName(std::string_view name) {
  // A leading "\" gives an empty first component, so absolute names fail too.
  std::size_t start = 0;
  while (true) {
    const std::size_t end = name.find('\\', start);
    const std::string_view part =
        name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!IsSafeComponent(part)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

ProjectTarget MakeProjectTarget(std::string_view root, std::string_view folder,
                                std::string_view file_name) {
  ProjectTarget target;
  if (folder.empty() || file_name.empty() || !IsSafeRelativeName(file_name)) return target;
  const bool root_folder = folder == kRootFolderName;
  if (!root_folder && !IsSafeRelativeName(folder)) return target;
  target.folder.assign(root);
  if (!root_folder) {
    target.folder += '\\';
    target.folder += folder;
  }
  target.file = target.folder;
  target.file += '\\';
  target.file += file_name;
  return target;
}

}  // namespace kestrel
