#include "platform/SideFile.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrel::platform {
namespace {

constexpr std::string_view kSideMark = ".~";
constexpr std::string_view kSideSuffix = ".part";
constexpr std::size_t kSideFileWriteBehind = 8u << 20;  // bytes

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string SideFileName(std::string_view target) {
  static std::atomic<unsigned> counter{0};
  std::string name(target);
  name += kSideMark;
  name += std::to_string(static_cast<long>(::getpid()));
  name += '_';
  name += std::to_string(counter.fetch_add(1));
  name += kSideSuffix;
  return name;
}

bool IsSideFileName(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/");
  std::string_view leaf = cut == std::string_view::npos ? path : path.substr(cut + 1);
  if (leaf.size() <= kSideSuffix.size() ||
      leaf.substr(leaf.size() - kSideSuffix.size()) != kSideSuffix)
    return false;
  leaf.remove_suffix(kSideSuffix.size());
  const std::size_t mark = leaf.rfind(kSideMark);
  if (mark == std::string_view::npos || mark == 0) return false;  // a side file names its target
  const std::string_view numbers = leaf.substr(mark + kSideMark.size());
  const std::size_t underscore = numbers.find('_');
  return underscore != std::string_view::npos && AllDigits(numbers.substr(0, underscore)) &&
         AllDigits(numbers.substr(underscore + 1));
}

SideFile::SideFile(std::string_view target) : target_(target), side_(SideFileName(target)) {}

SideFile::~SideFile() {
  if (committed_) return;
  const bool opened = file_.IsOpen();
  file_.Close();
  if (opened) RemoveIfExists(side_);
}

int SideFile::Open() {
  const int error = file_.Open(side_, File::kWrite | File::kCreate);
  // A side file is flushed before it replaces its target: its data starts
  // on its way to storage while it is being written.
  if (error == 0) file_.SetWriteBehind(kSideFileWriteBehind);
  return error;
}

int SideFile::Commit() {
  if (!file_.IsOpen()) return EBADF;
  int error = file_.Close();
  if (error == 0) error = RenameFile(side_, target_);
  if (error != 0) {
    RemoveIfExists(side_);
    return error;
  }
  committed_ = true;
  return 0;
}

int ReplaceFileContents(std::string_view target, std::string_view data) {
  SideFile side(target);
  int error = side.Open();
  if (error == 0) error = side.file().Write(data.data(), data.size());
  if (error == 0) error = side.file().Flush();
  if (error == 0) error = side.Commit();
  return error;
}

}  // namespace kestrel::platform
