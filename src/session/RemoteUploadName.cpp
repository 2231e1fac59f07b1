#include "session/RemoteUploadName.h"

#include <cctype>

#include "projects/NameRules.h"
#include "support/ServerFiles.h"

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
  if (!projects::IsPlainName(name)) return false;  // a bare file name
  return !EqualsNoCase(name, kTransferEntryName) && !EndsWithNoCase(name, ".zip") &&
         !EndsWithNoCase(name, ".part");
}

}  // namespace kestrel
