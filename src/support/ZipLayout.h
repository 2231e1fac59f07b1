#pragma once
// The zip records around an archive's entries, as far as the server's
// one-entry transfer archives need them: signatures, fixed record sizes, the
// flags and zip64 markers, and little-endian field reads.
//
// Threads: constants and pure functions only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrel::zip_layout {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;  // data descriptor (optional)
constexpr std::size_t kLocalSize = 30;    // local header before its name and extra field
constexpr std::size_t kCentralSize = 46;  // directory entry before its name, extra, comment
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kEndSize = 22;             // end record before its comment
constexpr std::size_t kZip64ExtraSize = 4 + 16;  // a local header's zip64 field: both sizes
constexpr unsigned kEncryptedFlag = 1u << 0;
constexpr unsigned kDataDescriptorFlag = 1u << 3;
constexpr std::uint32_t kZip64Marker = 0xffffffff;  // the value is in the zip64 extra field
constexpr unsigned kZip64ExtraId = 0x0001;

// The width-byte little-endian value at bytes[at]; the caller checks the bounds.
inline std::uint64_t Little(std::span<const std::uint8_t> bytes, std::size_t at,
                            std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

// The zip64 extra field's data in extra; empty when there is none.
inline std::span<const std::uint8_t> Zip64Field(std::span<const std::uint8_t> extra) {
  for (std::size_t at = 0; at + 4 <= extra.size();) {
    const auto size = static_cast<std::size_t>(Little(extra, at + 2, 2));
    if (at + 4 + size > extra.size()) break;
    if (Little(extra, at, 2) == kZip64ExtraId) return extra.subspan(at + 4, size);
    at += 4 + size;
  }
  return {};
}

// The packed and plain sizes of an entry.
struct EntrySizes {
  std::uint64_t packed = 0;
  std::uint64_t plain = 0;
};

// The sizes a local header names, from header (at least its fixed part):
// where either holds the zip64 marker, both come from the zip64 field of its
// extra field, which header must then hold whole. Empty when it does not or
// the field is missing or short.
inline std::optional<EntrySizes> LocalHeaderSizes(std::span<const std::uint8_t> header) {
  const EntrySizes sizes{Little(header, 18, 4), Little(header, 22, 4)};
  if (sizes.packed != kZip64Marker && sizes.plain != kZip64Marker) return sizes;
  const auto name_size = static_cast<std::size_t>(Little(header, 26, 2));
  const auto extra_size = static_cast<std::size_t>(Little(header, 28, 2));
  if (header.size() < kLocalSize + name_size + extra_size) return std::nullopt;
  // A local header's zip64 field holds both sizes: plain, then packed.
  const std::span<const std::uint8_t> zip64 =
      Zip64Field(header.subspan(kLocalSize + name_size, extra_size));
  if (zip64.size() < 16) return std::nullopt;
  return EntrySizes{Little(zip64, 8, 8), Little(zip64, 0, 8)};
}

}  // namespace kestrel::zip_layout
