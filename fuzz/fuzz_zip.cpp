// Fuzzes zip extraction: the bytes as an uploaded archive in Temp, counted
// and extracted onto the one fixed target, as an upload's end does.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "support/ZipArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  static const std::string archive = fuzz::EnterWorkFolder() + "/Temp/upload.zip";
  fuzz::WriteBytes(archive, data, size);
  (void)CountEntries(".\\Temp\\upload.zip");
  const ExtractResult result = ExtractArchive(".\\Temp\\upload.zip", ".\\Temp\\transfer.dat");
  if (result.ok != (result.reason == ExtractFailure::kNone)) __builtin_trap();
  return 0;
}
