#include "support/TextDigest.h"

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

}  // namespace kestrel
