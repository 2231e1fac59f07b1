#include "testsupport/ZipReader.h"

#include <minizip/unzip.h>

namespace kestrel::test {

bool ReadZip(const std::string& path, std::vector<ZipEntry>& out) {
  out.clear();
  unzFile zip = unzOpen64(path.c_str());
  if (zip == nullptr) return false;
  bool ok = true;
  for (int status = unzGoToFirstFile(zip); ok && status == UNZ_OK; status = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    char name[512] = {};
    ok = unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) == UNZ_OK &&
         unzOpenCurrentFile(zip) == UNZ_OK;
    if (!ok) break;
    ZipEntry entry{name, {}};
    char block[8192];
    int n = 0;
    while ((n = unzReadCurrentFile(zip, block, sizeof block)) > 0) entry.data.append(block, n);
    ok =
        n == 0 && unzCloseCurrentFile(zip) == UNZ_OK && entry.data.size() == info.uncompressed_size;
    out.push_back(std::move(entry));
  }
  unzClose(zip);
  return ok;
}

}  // namespace kestrel::test
