#include "config/FolderAccess.h"

namespace kestrel {

void FolderAccessTable::Add(std::string_view folder, std::span<const std::uint8_t> access) {
  const auto [row, added] = rows_.emplace(std::string(folder), access_.size());
  if (!added) return;
  for (std::size_t u = 0; u < user_count_; ++u) {
    access_.push_back(u < access.size() ? access[u] : std::uint8_t{kAccessNone});
  }
}

std::uint8_t FolderAccessTable::Lookup(std::string_view folder, std::size_t user) const {
  if (user >= user_count_) return kAccessNone;
  for (;;) {
    const auto row = rows_.find(folder);
    if (row != rows_.end()) return access_[row->second + user];
    if (folder.empty()) return kAccessNone;
    const std::size_t cut = folder.rfind('\\');
    folder = cut == std::string_view::npos ? std::string_view() : folder.substr(0, cut);
  }
}

}  // namespace kestrel
