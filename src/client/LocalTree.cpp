#include "client/LocalTree.h"

#include "client/RemotePath.h"
#include "client/SyncState.h"
#include "platform/FileSystem.h"
#include "platform/SideFile.h"

namespace kestrel::client {
namespace {

void Walk(std::string_view root, const std::string& folder_key, LocalTree& tree) {
  std::vector<platform::DirEntry> entries;
  int untranslatable = 0;
  const int error = platform::ListDirectory(LocalPath(root, folder_key), entries, &untranslatable);
  if (error != 0) {
    if (folder_key.empty()) {
      tree.error = error;
    } else {
      tree.skipped.push_back({folder_key, "folder cannot be read"});
    }
    return;
  }
  tree.untranslatable += untranslatable;
  for (const platform::DirEntry& entry : entries) {
    const std::string key = JoinKey(folder_key, entry.name);
    if (IsClientWorkFile(key)) continue;
    if (entry.is_link) {
      tree.skipped.push_back({key, "symbolic links are not synchronised"});
      continue;
    }
    if (!IsPlainName(entry.name)) {
      tree.skipped.push_back({key, "the server does not accept this name"});
      continue;
    }
    if (entry.is_folder) {
      Walk(root, key, tree);
      continue;
    }
    if (entry.name[0] == '~') {
      tree.skipped.push_back({key, "names beginning with \"~\" are never listed by the server"});
      continue;
    }
    tree.files[key] = LocalFile{entry.size, entry.last_write};
  }
}

}  // namespace

bool IsClientWorkFile(std::string_view key) {
  // The state file and its temporary copies, in the root only.
  if (key.find('\\') == std::string_view::npos &&
      key.substr(0, kSyncStateFileName.size()) == kSyncStateFileName) {
    return true;
  }
  // Half-written downloads.
  return platform::IsSideFileName(LeafName(key));
}

LocalTree ListLocalTree(std::string_view root) {
  LocalTree tree;
  Walk(root, std::string(), tree);
  return tree;
}

std::string LocalPath(std::string_view root, std::string_view key) {
  std::string path(root);
  if (key.empty()) return path;
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
  path += key;
  return path;
}

}  // namespace kestrel::client
