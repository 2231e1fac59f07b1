#pragma once
// Makes a folder the current directory for one scope and restores the previous
// one afterwards. The server works from its current directory, so tests run it
// inside a temporary folder.
#include <string>

namespace kestrel::test {

class ScopedCwd {
 public:
  // Changes into path (a native path); ok() tells whether it worked.
  explicit ScopedCwd(const std::string& path);
  ~ScopedCwd();  // back to the previous directory
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

  bool ok() const { return ok_; }
  const std::string& previous() const { return previous_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

}  // namespace kestrel::test
