#pragma once
// "Write beside, then rename over": a new version of a file is written to a
// side file in the same folder and renamed over the target in one step, so
// the target always holds its old or its complete new contents, never a mix.
//
// Side files are named "<target>.~<pid>_<n>.part" (pid of the writing
// process, n counting within it), unique among this machine's processes;
// IsSideFileName recognises such names, so a clean-up can remove what a
// crashed writer left behind and listings can leave them out.
//
// Threads: a SideFile belongs to one thread; the free functions are reentrant.
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace kestrel::platform {

// A fresh side-file name for target (a system path).
[[nodiscard]] std::string SideFileName(std::string_view target);
// True when the last component of path has the form "<name>.~<digits>_<digits>.part".
[[nodiscard]] bool IsSideFileName(std::string_view path);

// One replacement of target. Removes its side file again unless Commit succeeded.
class SideFile {
 public:
  explicit SideFile(std::string_view target);
  ~SideFile();
  SideFile(const SideFile&) = delete;
  SideFile& operator=(const SideFile&) = delete;

  // Creates the side file for writing. An errno value, 0 = open.
  [[nodiscard]] int Open();
  // The open side file (write through it; Flush for durability).
  File& file() { return file_; }
  // System path of the side file, e.g. to set its times before Commit.
  const std::string& path() const { return side_; }
  // Closes the side file and renames it over the target. An errno value; on
  // failure the side file is gone and the target unchanged.
  [[nodiscard]] int Commit();

 private:
  std::string target_;
  std::string side_;
  File file_;
  bool committed_ = false;
};

// The whole new contents, written beside, flushed to stable storage and
// renamed over target. An errno value, 0 = replaced.
[[nodiscard]] int ReplaceFileContents(std::string_view target, std::string_view data);

}  // namespace kestrel::platform
