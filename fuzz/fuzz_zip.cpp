// Fuzzes zip extraction: the bytes as an uploaded archive in Temp, counted
// and extracted onto the one fixed target, as an upload's end does; then the
// same bytes streamed onto a second target in download-sized pieces, as a
// download's chunks arrive.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "support/ZipArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  static const std::string archive = fuzz::EnterWorkFolder() + "/Temp/upload.zip";
  fuzz::WriteBytes(archive, data, size);
  (void)CountEntries(".\\Temp\\upload.zip");
  const ExtractResult result = ExtractArchive(".\\Temp\\upload.zip", ".\\Temp\\transfer.dat");
  if (result.ok != (result.reason == ExtractFailure::kNone)) __builtin_trap();

  // Small pieces (the input's size picks them) reach every split of the head.
  const std::size_t piece = size % 2 == 0 ? 1280 : 1 + size % 61;
  StreamExtractor stream(".\\Temp\\streamed.dat");
  std::size_t fed = 0;
  while (fed < size) {
    const std::size_t n = std::min(piece, size - fed);
    const bool taken = stream.Feed(std::span(data + fed, n));
    fed += n;
    if (!taken && stream.declined()) {
      if (stream.held().size() != fed) __builtin_trap();  // the caller needs every byte
      return 0;
    }
  }
  const ExtractResult streamed = stream.Finish();
  if (streamed.ok != (streamed.reason == ExtractFailure::kNone)) __builtin_trap();
  if (streamed.ok && streamed.entries != 1) __builtin_trap();
  return 0;
}
