#pragma once
// The decrypted request record of the requests that carry names: k length
// bytes, an optional fixed part, then the k strings back to back (one byte
// per character; the layout is in net/RequestLayout.h). Parsing never reads
// past the decrypted data: a record whose fixed part or strings run past its
// end is rejected as a whole.
//
// Threads: a value used by one session handler on its slot thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/RequestLayout.h"

namespace kestrel {

class RequestRecord {
 public:
  static constexpr std::size_t kMaxStrings = 4;

  // Reads `string_count` (at most kMaxStrings) strings after a fixed part of
  // `fixed_size` bytes from plain[0, size). plain is borrowed: the strings and
  // the fixed part point into it and are valid while it is unchanged. False
  // when the record does not fit the data.
  bool Parse(const std::uint8_t* plain, std::size_t size, std::size_t string_count,
             std::size_t fixed_size);

  // Empty for an index past string_count.
  std::string_view String(std::size_t index) const {
    return index < count_ ? strings_[index] : std::string_view();
  }
  const std::uint8_t* Fixed() const { return fixed_; }
  // Bytes after the last string (where a trailing fixed field may follow).
  std::string_view Rest() const { return rest_; }

 private:
  std::array<std::string_view, kMaxStrings> strings_{};
  std::size_t count_ = 0;
  const std::uint8_t* fixed_ = nullptr;
  std::string_view rest_;
};

}  // namespace kestrel
