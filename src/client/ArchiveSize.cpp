#include "client/ArchiveSize.h"

#include "support/ZipLayout.h"

namespace kestrel::client {

using namespace zip_layout;

std::uint64_t ArchiveSizeFromHead(std::span<const std::uint8_t> head) {
  if (head.size() < kLocalSize || Little(head, 0, 4) != kLocalSignature) return 0;
  const auto flags = static_cast<std::uint16_t>(Little(head, 6, 2));
  if ((flags & kDataDescriptorFlag) != 0) return 0;
  const std::optional<EntrySizes> sizes = LocalHeaderSizes(head);
  if (!sizes) return 0;
  const std::uint64_t name_size = Little(head, 26, 2);
  const std::uint64_t extra_size = Little(head, 28, 2);
  std::uint64_t tail = kEndSize;
  if (Little(head, 18, 4) == kZip64Marker) tail += kZip64EndSize + kZip64LocatorSize;
  return kLocalSize + name_size + extra_size + sizes->packed + kCentralSize + name_size +
         extra_size + tail;
}

}  // namespace kestrel::client
