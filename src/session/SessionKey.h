#pragma once
// Fresh session keys: 16 bytes from the system's secure random source, each
// byte in 0..254 as the key format requires.
#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr std::size_t kSessionKeySize = 16;

// Fills key with a new random session key. Bytes of value 255 are drawn
// again, so the 255 values stay equally likely.
void MakeSessionKey(std::uint8_t (&key)[kSessionKeySize]);

}  // namespace kestrel
