#include "session/ProjectPath.h"

#include "support/ServerFiles.h"

#include "projects/NameRules.h"

namespace kestrel {

std::string ProjectTarget::RelativeFile() const {
  return folder.empty() ? file_name : folder + '\\' + file_name;
}

ProjectTarget MakeProjectTarget(std::string_view folder, std::string_view file_name) {
  ProjectTarget target;
  const std::string_view relative = folder == kScanRootFolderName ? std::string_view() : folder;
  if (folder.empty() || !projects::IsPortableName(file_name) || file_name.front() == '~') {
    return target;
  }
  if (!relative.empty() &&
      (!projects::IsPortableRelativePath(relative) || projects::HasServerOnlyComponent(relative))) {
    return target;
  }
  target.folder.assign(relative);
  target.file_name.assign(file_name);
  target.ok = true;
  return target;
}

}  // namespace kestrel
