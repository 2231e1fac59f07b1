#include "session/RequestRecord.h"

namespace kestrel {

bool RequestRecord::Parse(const std::uint8_t* plain, std::size_t size, std::size_t string_count,
                          std::size_t fixed_size) {
  count_ = 0;
  fixed_ = nullptr;
  rest_ = {};
  if (string_count > kMaxStrings || plain == nullptr) return false;
  std::size_t offset = string_count * kRecordLengthByteSize;
  if (offset > size || fixed_size > size - offset) return false;
  fixed_ = plain + offset;
  offset += fixed_size;
  const char* text = reinterpret_cast<const char*>(plain);
  for (std::size_t i = 0; i < string_count; ++i) {
    const std::size_t length = plain[i];
    if (length > size - offset) {
      fixed_ = nullptr;
      return false;
    }
    strings_[i] = std::string_view(text + offset, length);
    offset += length;
  }
  count_ = string_count;
  rest_ = std::string_view(text + offset, size - offset);
  return true;
}

}  // namespace kestrel
