#include "projects/NameRules.h"

namespace kestrel::projects {
namespace {

constexpr char kSeparator = '\\';
constexpr char kServerOnlyMark = '~';

// Calls check for every "\"-separated component; false as soon as one fails.
template <class Check>
bool EveryComponent(std::string_view path, Check check) {
  for (;;) {
    const std::size_t cut = path.find(kSeparator);
    if (!check(path.substr(0, cut))) return false;
    if (cut == std::string_view::npos) return true;
    path.remove_prefix(cut + 1);
  }
}

}  // namespace

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == kSeparator || c == '/' || c == ':') return false;
  }
  return true;
}

bool IsPortableName(std::string_view name) {
  return IsPlainName(name) && name.back() != '.' && name.back() != ' ';
}

bool IsPortableRelativePath(std::string_view path) {
  return EveryComponent(path, IsPortableName);
}

bool HasServerOnlyComponent(std::string_view path) {
  return !EveryComponent(
      path, [](std::string_view part) { return part.empty() || part.front() != kServerOnlyMark; });
}

}  // namespace kestrel::projects
