#include "testsupport/ScopedCwd.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>

namespace kestrel::test {

ScopedCwd::ScopedCwd(const std::string& path) {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) {
    std::perror("getcwd");
    return;
  }
  previous_ = buffer;
  ok_ = ::chdir(path.c_str()) == 0;
  if (!ok_) std::perror("chdir");
}

ScopedCwd::~ScopedCwd() {
  if (ok_ && ::chdir(previous_.c_str()) != 0) std::perror("chdir back");
}

}  // namespace kestrel::test
