#include "client/ArchiveSize.h"

namespace kestrel::client {
namespace {

// Zip layout (APPNOTE): the fixed parts of the records around one entry.
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralEntrySize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::uint16_t kDataDescriptorFlag = 1u << 3;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kZip64Marker = 0xffffffff;

std::uint64_t Little(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

// The packed size from the zip64 extra field of a local header; 0 when absent.
std::uint64_t Zip64PackedSize(std::span<const std::uint8_t> extra) {
  constexpr std::size_t kFieldHead = 4;
  for (std::size_t at = 0; at + kFieldHead <= extra.size();) {
    const std::uint64_t id = Little(extra, at, 2);
    const std::size_t size = static_cast<std::size_t>(Little(extra, at + 2, 2));
    // Original size, then packed size, 8 bytes each.
    if (id == kZip64ExtraId && size >= 16 && at + kFieldHead + 16 <= extra.size()) {
      return Little(extra, at + kFieldHead + 8, 8);
    }
    at += kFieldHead + size;
  }
  return 0;
}

}  // namespace

std::uint64_t ArchiveSizeFromHead(std::span<const std::uint8_t> head) {
  if (head.size() < kLocalHeaderSize || Little(head, 0, 4) != kLocalHeaderSignature) return 0;
  const auto flags = static_cast<std::uint16_t>(Little(head, 6, 2));
  if ((flags & kDataDescriptorFlag) != 0) return 0;
  const std::uint64_t name_size = Little(head, 26, 2);
  const std::uint64_t extra_size = Little(head, 28, 2);
  std::uint64_t packed = Little(head, 18, 4);
  std::uint64_t tail = kEndRecordSize;
  if (packed == kZip64Marker) {
    const std::size_t extra_at = kLocalHeaderSize + static_cast<std::size_t>(name_size);
    if (head.size() < extra_at + extra_size) return 0;
    packed = Zip64PackedSize(head.subspan(extra_at, static_cast<std::size_t>(extra_size)));
    if (packed == 0) return 0;
    tail += kZip64EndRecordSize + kZip64LocatorSize;
  }
  return kLocalHeaderSize + name_size + extra_size + packed + kCentralEntrySize + name_size +
         extra_size + tail;
}

}  // namespace kestrel::client
