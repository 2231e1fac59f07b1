#pragma once
// Heap allocations made by the calling thread so far (session test program only).
namespace kestrel::test {
long ThreadAllocations();
}  // namespace kestrel::test
