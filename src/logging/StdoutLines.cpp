#include "logging/StdoutLines.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "logging/LogChannel.h"

namespace kestrel {

StdoutLines::StdoutLines(int fd, std::size_t max_pending) : fd_(fd), max_pending_(max_pending) {}

StdoutLines::~StdoutLines() {
  Flush(kCloseWait);
}

void StdoutLines::Write(std::string_view line) {
  if (broken_) return;
  Flush(std::chrono::milliseconds(0));
  if (dropped_ > 0 && pending() == 0) {
    pending_ = StringPrintf(
        "logging: %llu lines not written to standard output, its reader "
        "was too slow\n",
        static_cast<unsigned long long>(dropped_));
    sent_ = 0;
    dropped_ = 0;
  }
  if (pending() + line.size() + 1 > max_pending_) {
    ++dropped_;
    ++dropped_total_;
    return;
  }
  if (sent_ > 0) {
    pending_.erase(0, sent_);
    sent_ = 0;
  }
  pending_.append(line);
  pending_.push_back('\n');
  Flush(std::chrono::milliseconds(0));
}

bool StdoutLines::Flush(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!broken_ && pending() > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if ((p.revents & (POLLERR | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) {
      broken_ = true;
      break;
    }
    // A ready pipe takes PIPE_BUF bytes without blocking.
    const std::size_t chunk = std::min<std::size_t>(pending(), PIPE_BUF);
    const ssize_t wrote = ::write(fd_, pending_.data() + sent_, chunk);
    if (wrote < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      broken_ = true;  // EPIPE and the like: nobody will read these lines
      break;
    }
    sent_ += static_cast<std::size_t>(wrote);
  }
  if (broken_) {
    pending_.clear();
    sent_ = 0;
    return false;
  }
  if (pending() == 0) {
    pending_.clear();
    sent_ = 0;
  }
  return true;
}

}  // namespace kestrel
