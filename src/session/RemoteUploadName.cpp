#include "session/RemoteUploadName.h"

#include <cctype>
#include <string>

#include "projects/NameRules.h"
#include "support/ServerFiles.h"

namespace kestrel {
namespace {

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(suffix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsRemoteUploadName(std::string_view name) {
  if (!projects::IsPlainName(name)) return false;  // a bare file name
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !IsServerTempFile(lower) && !EndsWithNoCase(name, ".zip") &&
         !EndsWithNoCase(name, ".part");
}

}  // namespace kestrel
