#include "session/TempFiles.h"

#include <cctype>

#include "session/ProjectPath.h"

namespace kestrel {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

bool IsRemoteUploadName(std::string_view name) {
  // One component of a relative name without any "\" is a bare file name.
  if (name.find('\\') != std::string_view::npos || !IsSafeRelativeName(name)) return false;
  return !EqualsNoCase(name, kTransferEntryName) && !EndsWithNoCase(name, ".zip") &&
         !EndsWithNoCase(name, ".part");
}

}  // namespace kestrel
