#pragma once
// The plaintext of an encrypted request record, named once for the server's
// parser (session/RequestRecord.h) and the client's builder:
//
//   k length bytes, one unsigned byte per string (0..255)
//   the request's fixed part (upload request: 16 bytes, below)
//   the k strings back to back, one byte per character, no terminators
//   trailing bytes (login: the 32-character client hash)
//
// The record is then encrypted block by block, its length rounded up to a
// multiple of 16 (the frame's payload holds at most 255 bytes).
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace kestrel {

inline constexpr std::size_t kRecordLengthByteSize = 1;  // per string
inline constexpr std::size_t kMaxRecordString = 255;     // one length byte

// The upload request's fixed part: the file's last-write time (a FILETIME) and
// its size in bytes, each 8 bytes little-endian.
inline constexpr std::size_t kUploadFixedPartSize = 16;
inline constexpr std::size_t kUploadTimeOffset = 0;
inline constexpr std::size_t kUploadSizeOffset = 8;

struct UploadFixedPart {
  std::uint64_t last_write = 0;
  std::int64_t size = 0;
};

void WriteUploadFixedPart(const UploadFixedPart& part,
                          std::span<std::uint8_t, kUploadFixedPartSize> out);
[[nodiscard]] UploadFixedPart ReadUploadFixedPart(const std::uint8_t* fixed);

// Little-endian 64-bit values (the fields of the upload request's fixed part).
void WriteLittleEndian64(std::uint64_t value, std::uint8_t* out);
[[nodiscard]] std::uint64_t ReadLittleEndian64(const std::uint8_t* p);

// The plaintext record: length bytes, fixed part, strings, trailing bytes.
// Empty when a string is longer than kMaxRecordString.
[[nodiscard]] std::vector<std::uint8_t> ComposeRecord(
    std::initializer_list<std::string_view> strings, std::span<const std::uint8_t> fixed = {},
    std::string_view trailing = {});

}  // namespace kestrel
