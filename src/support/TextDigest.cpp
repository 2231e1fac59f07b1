#include "support/TextDigest.h"

#include <vector>

#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/Md5.h"

namespace kestrel {

std::string DigestOfTextFile(std::string_view path) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kRead)) return std::string();
  Md5 md5;
  std::string line;
  while (file.ReadLine(line)) md5.Update(line);
  return md5.FinalHex();
}

std::string DigestOfFile(std::string_view path) {
  constexpr std::size_t kBlock = 64 * 1024;
  platform::File file;
  if (file.Open(path, platform::File::kRead) != 0) return std::string();
  Md5 md5;
  std::vector<char> block(kBlock);
  for (;;) {
    const long n = file.Read(block.data(), block.size());
    if (n < 0) return std::string();
    if (n == 0) return md5.FinalHex();
    md5.Update(block.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace kestrel
