#pragma once
// Every user's access to every folder of a project, as the last complete scan
// read it from the rights files. The scan builds a table, then publishes it
// on the project record (ProjectRecord::folder_access), after which nobody
// changes it; sessions look their requests up in it without waiting.
//
// Folders are named relative to the project root, levels joined by "\", the
// root itself by "".
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Bits of one user's access to one folder.
enum FolderAccess : std::uint8_t {
  kAccessNone = 0,
  kAccessVisible = 1,
  kAccessWritable = 2,
};

class FolderAccessTable {
 public:
  explicit FolderAccessTable(std::size_t user_count) : user_count_(user_count) {}

  // While the table is built: the folder's access, one value per user in the
  // project's user order. A folder added twice keeps its first values.
  void Add(std::string_view folder, std::span<const std::uint8_t> access);

  // The user's access to folder. A folder the table does not know (one made
  // after the scan, or one an upload is about to make) has the access of its
  // nearest ancestor that it knows, as the rights pass would give it a copy
  // of its parent's rights; kAccessNone when it knows not even the root.
  std::uint8_t Lookup(std::string_view folder, std::size_t user) const;

  std::size_t folder_count() const { return rows_.size(); }

 private:
  std::size_t user_count_;
  std::map<std::string, std::size_t, std::less<>> rows_;  // folder -> first value in access_
  std::vector<std::uint8_t> access_;
};

}  // namespace kestrel
