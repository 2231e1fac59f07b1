#include "testsupport/TempDir.h"

#include <stdlib.h>

#include <cstdio>

#include "platform/FileSystem.h"

namespace kestrel::test {

TempDir::TempDir() {
  char pattern[] = "/tmp/kestrel-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  platform::RemoveTree(path_);
}

std::string TempDir::Sub(std::string_view relative) const {
  std::string out = path_;
  out += '/';
  out += relative;
  return out;
}

}  // namespace kestrel::test
