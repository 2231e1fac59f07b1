#pragma once
// A private folder for staging archives: made under $TMPDIR (or /tmp) with
// a fresh name, removed with everything in it when the object goes away.
//
// Threads: one owner at a time.
#include <string>

namespace kestrel::client {

class WorkFolder {
 public:
  WorkFolder();
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  // System path of a file inside.
  std::string File(const std::string& name) const;

 private:
  std::string path_;  // system path; empty when it could not be made
};

}  // namespace kestrel::client
