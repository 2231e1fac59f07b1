#include "client/WorkFolder.h"

#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "platform/FileSystem.h"

namespace kestrel::client {

WorkFolder::WorkFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
  pattern += "/kestrel-cli-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return;
  std::optional<std::string> system = platform::SystemName(buffer.data());
  if (!system) {
    ::rmdir(buffer.data());
    return;
  }
  path_ = *system;
}

WorkFolder::~WorkFolder() {
  if (!path_.empty()) (void)platform::RemoveTree(path_);
}

std::string WorkFolder::File(const std::string& name) const {
  return path_ + "\\" + name;
}

}  // namespace kestrel::client
