#pragma once
// The source a connection counts against: its peer's IPv4 address, or the
// /64 prefix of its IPv6 address (one host usually owns a whole /64).
// IPv4-mapped IPv6 peers count as their IPv4 address.
#include <array>
#include <cstdint>
#include <string_view>

namespace kestrel {

struct SourceAddress {
  // Family byte (4 or 6, 0 for an address that could not be read), then the
  // 4 or 8 bytes that identify the source.
  std::array<std::uint8_t, 9> key{};

  bool operator==(const SourceAddress&) const = default;
};

// address: the numeric text of a peer address ("127.0.0.1", "::1").
SourceAddress SourceAddressOf(std::string_view address);

}  // namespace kestrel
