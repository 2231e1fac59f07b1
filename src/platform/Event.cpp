#include "platform/Event.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kestrel::platform {
namespace {

bool ReadCounter(int fd) {
  std::uint64_t value = 0;
  for (;;) {
    ssize_t got = ::read(fd, &value, sizeof value);
    if (got == sizeof value) return true;
    if (got < 0 && errno == EINTR) continue;
    return false;  // EAGAIN: not signalled
  }
}

bool PollReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int rc = ::poll(&p, 1, 0);
    if (rc >= 0) return rc > 0 && (p.revents & POLLIN) != 0;
    if (errno != EINTR) return false;
  }
}

}  // namespace

Event::Event(Mode mode, bool initially_set) : mode_(mode) {
  fd_ = ::eventfd(initially_set ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) {
    // Without its descriptor no thread could ever wait for this event.
    std::perror("eventfd");
    std::abort();
  }
}

Event::~Event() {
  if (fd_ >= 0) ::close(fd_);
}

void Event::Set() {
  sets_.fetch_add(1, std::memory_order_release);
  std::uint64_t one = 1;
  for (;;) {
    ssize_t put = ::write(fd_, &one, sizeof one);
    if (put == sizeof one || errno != EINTR) return;
  }
}

void Event::Reset() {
  ReadCounter(fd_);
}

bool Event::TryConsume() {
  bool set = mode_ == Mode::kAutoReset ? ReadCounter(fd_) : PollReadable(fd_);
  if (set) Acquired();
  return set;
}

bool Event::IsSet() const {
  bool set = PollReadable(fd_);
  if (set) Acquired();
  return set;
}

int WaitForAny(std::span<Event* const> events, std::optional<std::chrono::milliseconds> timeout,
               int readable_fd) {
  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline =
      timeout ? Steady::now() + *timeout : Steady::time_point::max();
  // A slot thread waits once per read: a short list stays on the stack.
  constexpr std::size_t kInline = 8;
  pollfd inline_fds[kInline];
  std::vector<pollfd> heap_fds;
  const std::size_t count = events.size() + (readable_fd >= 0 ? 1 : 0);
  std::span<pollfd> fds(inline_fds, count);
  if (count > kInline) {
    heap_fds.resize(count);
    fds = heap_fds;
  }
  for (std::size_t i = 0; i < events.size(); ++i) fds[i] = pollfd{events[i]->fd(), POLLIN, 0};
  if (readable_fd >= 0) fds.back() = pollfd{readable_fd, POLLIN, 0};

  for (;;) {
    int wait_ms = -1;
    if (timeout) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
      wait_ms =
          left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    }
    for (pollfd& p : fds) p.revents = 0;
    int rc = ::poll(fds.data(), fds.size(), wait_ms);
    if (rc < 0 && errno != EINTR) return kWaitTimeout;  // cannot wait at all
    if (rc > 0) {
      for (std::size_t i = 0; i < events.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        Event* e = events[i];
        if (e->mode() == Event::Mode::kAutoReset) {
          // Another waiter may have taken it since poll() returned.
          if (!ReadCounter(e->fd())) continue;
        }
        e->Acquired();
        return static_cast<int>(i);
      }
      if (readable_fd >= 0 && fds.back().revents != 0) return kWaitReadable;
    }
    if (timeout && Steady::now() >= deadline) return kWaitTimeout;
  }
}

}  // namespace kestrel::platform
