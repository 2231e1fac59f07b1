#include "net/RequestLayout.h"

namespace kestrel {

void WriteLittleEndian64(std::uint64_t value, std::uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t ReadLittleEndian64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

void WriteUploadFixedPart(const UploadFixedPart& part,
                          std::span<std::uint8_t, kUploadFixedPartSize> out) {
  WriteLittleEndian64(part.last_write, out.data() + kUploadTimeOffset);
  WriteLittleEndian64(static_cast<std::uint64_t>(part.size), out.data() + kUploadSizeOffset);
}

UploadFixedPart ReadUploadFixedPart(const std::uint8_t* fixed) {
  return UploadFixedPart{ReadLittleEndian64(fixed + kUploadTimeOffset),
                         static_cast<std::int64_t>(ReadLittleEndian64(fixed + kUploadSizeOffset))};
}

std::vector<std::uint8_t> ComposeRecord(std::initializer_list<std::string_view> strings,
                                        std::span<const std::uint8_t> fixed,
                                        std::string_view trailing) {
  std::vector<std::uint8_t> record;
  for (std::string_view s : strings) {
    if (s.size() > kMaxRecordString) return {};
    record.push_back(static_cast<std::uint8_t>(s.size()));
  }
  record.insert(record.end(), fixed.begin(), fixed.end());
  for (std::string_view s : strings) record.insert(record.end(), s.begin(), s.end());
  record.insert(record.end(), trailing.begin(), trailing.end());
  return record;
}

}  // namespace kestrel
