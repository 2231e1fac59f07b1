#pragma once
// The lock a running server holds in its working folder: an flock'ed file
// ("kestrel-server.pid") that holds the server's process id. The lock ends
// with the process, however it ends, so a stale file never blocks anyone.
// The administration tools look at it before they edit the configuration.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace kestrel::platform {

inline constexpr const char* kServerLockFile = "kestrel-server.pid";

class PidLock {
 public:
  PidLock() = default;
  ~PidLock();  // releases the lock (the file stays)
  PidLock(const PidLock&) = delete;
  PidLock& operator=(const PidLock&) = delete;

  // Takes the lock on path (native) and writes this process's id into it.
  // False when another process holds it or the file cannot be opened.
  [[nodiscard]] bool Acquire(std::string_view path);

  // The process id written in path while some process holds its lock;
  // nullopt when nobody holds it.
  static std::optional<pid_t> Holder(std::string_view path);

 private:
  int fd_ = -1;
};

}  // namespace kestrel::platform
