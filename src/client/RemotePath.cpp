#include "client/RemotePath.h"

#include "client/TextCodec.h"

namespace kestrel::client {

bool IsPlainName(std::string_view level) {
  if (level.empty() || level == "." || level == "..") return false;
  for (const char c : level) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == ':' || c == '\\') return false;
  }
  return true;
}

bool IsPlainPath(std::string_view path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    if (!IsPlainName(path.substr(start, end == std::string_view::npos ? end : end - start))) {
      return false;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

namespace {

// "/" and "\" both separate levels in typed names; leading and trailing
// separators are dropped.
std::string Normalise(std::string_view typed) {
  std::string out(typed);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  std::size_t first = out.find_first_not_of('\\');
  if (first == std::string::npos) return {};
  std::size_t last = out.find_last_not_of('\\');
  return out.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> ParseRemoteFolder(std::string_view typed) {
  const std::string path = Normalise(typed);
  if (path.empty() || path == kScanRootFolderName) return std::string(kScanRootFolderName);
  if (!IsPlainPath(path)) return std::nullopt;
  return path;
}

std::optional<RemoteName> ParseRemoteName(std::string_view typed) {
  const std::string path = Normalise(typed);
  if (path.empty() || !IsPlainPath(path)) return std::nullopt;
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos) return RemoteName{std::string(kScanRootFolderName), path};
  return RemoteName{path.substr(0, cut), path.substr(cut + 1)};
}

std::string FolderKey(std::string_view protocol_folder) {
  if (protocol_folder == kScanRootFolderName) return {};
  return std::string(protocol_folder);
}

std::string ProtocolFolder(std::string_view folder_key) {
  if (folder_key.empty()) return std::string(kScanRootFolderName);
  return std::string(folder_key);
}

std::string JoinKey(std::string_view folder_key, std::string_view name) {
  if (folder_key.empty()) return std::string(name);
  std::string key(folder_key);
  key += '\\';
  key += name;
  return key;
}

std::string ParentKey(std::string_view key) {
  const std::size_t cut = key.rfind('\\');
  return cut == std::string_view::npos ? std::string() : std::string(key.substr(0, cut));
}

std::string_view LeafName(std::string_view key) {
  const std::size_t cut = key.rfind('\\');
  return cut == std::string_view::npos ? key : key.substr(cut + 1);
}

RemoteName SplitKey(std::string_view key) {
  return RemoteName{ProtocolFolder(ParentKey(key)), std::string(LeafName(key))};
}

std::string ShownRemote(std::string_view folder, std::string_view file) {
  return Shown(JoinKey(FolderKey(folder), file));
}

}  // namespace kestrel::client
