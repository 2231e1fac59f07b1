#pragma once
// How large a transfer archive will be, learnt from its first bytes. The
// server packs one file into an archive of one entry, whose local header
// comes first and names the entry's packed size; the rest of the archive is
// the packed data, one central directory entry and the end record. So the
// first chunk of a download tells its total.
#include <cstdint>
#include <span>

namespace kestrel::client {

// The size of a one-entry zip archive from its head: local header, packed
// data, central directory entry and end record (with the zip64 records when
// the entry needs them). 0 when the head does not tell: too short, not a
// local header, or sizes left to a data descriptor.
std::uint64_t ArchiveSizeFromHead(std::span<const std::uint8_t> head);

}  // namespace kestrel::client
