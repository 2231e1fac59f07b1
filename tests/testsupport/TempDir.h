#pragma once
// A unique temporary folder under /tmp for one test; the whole tree is removed
// (without following links) when the object goes away.
#include <string>
#include <string_view>

namespace kestrel::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Native path of the folder ("/tmp/kestrel-XXXXXX"), ASCII only, so it is
  // also a valid system path.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Sub(std::string_view relative) const;

 private:
  std::string path_;
};

}  // namespace kestrel::test
