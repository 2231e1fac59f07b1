#include "platform/Thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

namespace kestrel::platform {

struct Thread::Impl {
  pthread_t id{};
  std::function<void()> fn;

  static void* Main(void* arg) {
    static_cast<Impl*>(arg)->fn();
    return nullptr;
  }
};

Thread::Thread() = default;

Thread::~Thread() {
  Join();
}

Thread::Thread(Thread&& other) noexcept : impl_(std::move(other.impl_)), started_(other.started_) {
  other.started_ = false;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Join();
    impl_ = std::move(other.impl_);
    started_ = other.started_;
    other.started_ = false;
  }
  return *this;
}

bool Thread::Start(std::function<void()> fn, std::size_t stack_size) {
  if (started_) return false;
  auto impl = std::make_unique<Impl>();
  impl->fn = std::move(fn);
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stack_size != 0) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto min_size = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    std::size_t size = stack_size < min_size ? min_size : stack_size;
    size = (size + page - 1) / page * page;
    pthread_attr_setstacksize(&attr, size);
  }
  int rc = pthread_create(&impl->id, &attr, &Impl::Main, impl.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  impl_ = std::move(impl);
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  // A thread cannot join itself; its owner joins it later instead.
  if (pthread_equal(impl_->id, pthread_self())) return;
  pthread_join(impl_->id, nullptr);
  started_ = false;
  impl_.reset();
}

bool SecureRandom(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t got = ::getrandom(p, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace kestrel::platform
