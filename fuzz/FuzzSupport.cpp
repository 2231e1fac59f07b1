#include "FuzzSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>

namespace kestrel::fuzz {
namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

void RemoveWorkFolder() {
  std::error_code ignored;
  if (!Folder().empty()) std::filesystem::remove_all(Folder(), ignored);
}

}  // namespace

const std::string& EnterWorkFolder() {
  std::string& folder = Folder();
  if (!folder.empty()) return folder;
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  folder = pattern;
  for (const char* sub : {"Config", "Temp", "logs"}) {
    std::filesystem::create_directory(folder + "/" + sub);
  }
  std::filesystem::current_path(folder);
  std::atexit(RemoveWorkFolder);
  return folder;
}

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

std::string RightsXml(std::initializer_list<std::string_view> groups_visible_write) {
  std::string xml = "<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>\n";
  const std::string_view* item = groups_visible_write.begin();
  for (int n = 1; item + 3 <= groups_visible_write.end(); ++n, item += 3) {
    const std::string tag = "Group" + std::to_string(n);
    xml += "    <" + tag + ">\n        <Groupname>" + std::string(item[0]) +
           "</Groupname>\n        <Visible>" + std::string(item[1]) +
           "</Visible>\n        <Write>" + std::string(item[2]) + "</Write>\n    </" + tag + ">\n";
  }
  return xml + "</UserRights>\n";
}

}  // namespace kestrel::fuzz
