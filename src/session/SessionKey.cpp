#include "session/SessionKey.h"

#include <random>

#include "platform/Thread.h"

namespace kestrel {
namespace {

// One random byte from the secure source; the run-time's random device only
// when the system source fails (it never does on a working system).
std::uint8_t RandomByte(std::uint8_t* pool, std::size_t& left) {
  if (left == 0) {
    constexpr std::size_t kPool = 32;
    if (!platform::SecureRandom(pool, kPool)) {
      std::random_device device;
      for (std::size_t i = 0; i < kPool; ++i) pool[i] = static_cast<std::uint8_t>(device());
    }
    left = kPool;
  }
  return pool[--left];
}

}  // namespace

void MakeSessionKey(std::uint8_t (&key)[kSessionKeySize]) {
  std::uint8_t pool[32];
  std::size_t left = 0;
  for (std::size_t i = 0; i < kSessionKeySize;) {
    const std::uint8_t byte = RandomByte(pool, left);
    if (byte == 255) continue;
    key[i++] = byte;
  }
}

}  // namespace kestrel
