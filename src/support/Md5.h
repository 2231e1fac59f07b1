// MD5 message digest (RFC 1321) and its fixed uses: password hashes and the
// bootstrap key of the session-key exchange. Text is 8-bit: each char is one byte.
//
// Threads: an Md5 object belongs to one thread; the free functions are reentrant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5() { Reset(); }

  // Feeds `n` bytes at `data` (borrowed for the call only).
  void Update(const void* data, size_t n);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }

  // Finishes the digest and clears the context, ready for a new message.
  Digest Final();
  // Final() as 32 lower-case hexadecimal characters.
  std::string FinalHex() { return ToHex(Final()); }

  static std::string ToHex(const Digest& digest);

 private:
  void Reset();
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bytes_;  // message length so far
  uint8_t buffer_[64];
};

// Digest text of all bytes of `bytes`, zero bytes included.
std::string Md5Hex(std::string_view bytes);

// Digest text of a string: the bytes up to, not including, the first zero byte.
std::string DigestOfString(std::string_view text);

// Stored form of a password: digest of "k7qz21m%s4tx88" with the password for %s.
std::string PasswordDigest(std::string_view password);

// AES key of the session-key exchange: the first 16 characters of the digest of
// "p2Xw7c9Lm4aZr6Tq%s" with the global key for %s (16 ASCII bytes).
std::string BootstrapKey(std::string_view global_key);

}  // namespace kestrel
