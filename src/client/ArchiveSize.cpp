#include "client/ArchiveSize.h"

#include "support/ZipLayout.h"

namespace kestrel::client {
namespace {

using namespace zip_layout;

// The packed size from the zip64 extra field of a local header; 0 when absent.
std::uint64_t Zip64PackedSize(std::span<const std::uint8_t> extra) {
  // Original size, then packed size, 8 bytes each.
  const std::span<const std::uint8_t> zip64 = Zip64Field(extra);
  return zip64.size() >= 16 ? Little(zip64, 8, 8) : 0;
}

}  // namespace

std::uint64_t ArchiveSizeFromHead(std::span<const std::uint8_t> head) {
  if (head.size() < kLocalSize || Little(head, 0, 4) != kLocalSignature) return 0;
  const auto flags = static_cast<std::uint16_t>(Little(head, 6, 2));
  if ((flags & kDataDescriptorFlag) != 0) return 0;
  const std::uint64_t name_size = Little(head, 26, 2);
  const std::uint64_t extra_size = Little(head, 28, 2);
  std::uint64_t packed = Little(head, 18, 4);
  std::uint64_t tail = kEndSize;
  if (packed == kZip64Marker) {
    const std::size_t extra_at = kLocalSize + static_cast<std::size_t>(name_size);
    if (head.size() < extra_at + extra_size) return 0;
    packed = Zip64PackedSize(head.subspan(extra_at, static_cast<std::size_t>(extra_size)));
    if (packed == 0) return 0;
    tail += kZip64EndSize + kZip64LocatorSize;
  }
  return kLocalSize + name_size + extra_size + packed + kCentralSize + name_size + extra_size +
         tail;
}

}  // namespace kestrel::client
