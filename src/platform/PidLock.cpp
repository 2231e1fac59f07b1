#include "platform/PidLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel::platform {

PidLock::~PidLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the flock
}

bool PidLock::Acquire(std::string_view path) {
  const std::string name(path);
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    ::close(fd);
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return true;
}

std::optional<pid_t> PidLock::Holder(std::string_view path) {
  const std::string name(path);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<pid_t> holder;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    holder = static_cast<pid_t>(pid);
  } else {
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return holder;
}

}  // namespace kestrel::platform
