// Counts heap allocations per thread, so a test can see what one request
// handler allocates. Replaces the global allocation functions of the session
// test program.
#include <cstdlib>
#include <new>

#include "session/AllocationCounter.h"

namespace kestrel::test {
namespace {
thread_local long g_allocations = 0;
}  // namespace
long ThreadAllocations() {
  return g_allocations;
}
}  // namespace kestrel::test

void* operator new(std::size_t size) {
  ++kestrel::test::g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
