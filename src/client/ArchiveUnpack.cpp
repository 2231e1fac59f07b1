#include "client/ArchiveUnpack.h"

#include <minizip/unzip.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>

#include "client/LocalTree.h"
#include "client/RemotePath.h"
#include "platform/FileSystem.h"

namespace kestrel::client {
namespace {

struct UnzCloser {
  void operator()(void* handle) const { unzClose(static_cast<unzFile>(handle)); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

constexpr std::size_t kBlock = 64 * 1024;

// Streams the current entry to target through a temporary file. Empty on
// success, else the reason.
std::string WriteEntry(unzFile uf, const unz_file_info64& info, const std::string& target) {
  if ((info.flag & 1u) != 0) return "encrypted entry";
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
    return "unsupported compression";
  }
  if (unzOpenCurrentFile(uf) != UNZ_OK) return "damaged entry";
  const std::string temp = target + ".~" + std::to_string(::getpid()) + ".part";
  platform::File out;
  if (out.Open(temp, platform::File::kWrite | platform::File::kCreate) != 0) {
    unzCloseCurrentFile(uf);
    return "cannot create " + temp;
  }
  std::vector<unsigned char> block(kBlock);
  std::uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  std::string failure;
  for (;;) {
    const int n = unzReadCurrentFile(uf, block.data(), static_cast<unsigned>(block.size()));
    if (n < 0) {
      failure = "damaged data";
      break;
    }
    if (n == 0) break;
    written += static_cast<std::uint64_t>(n);
    if (written > info.uncompressed_size) {
      failure = "entry longer than declared";
      break;
    }
    crc = crc32(crc, block.data(), static_cast<uInt>(n));
    if (out.Write(block.data(), static_cast<std::size_t>(n)) != 0) {
      failure = "write failed";
      break;
    }
  }
  const int closed = unzCloseCurrentFile(uf);
  if (failure.empty() &&
      (written != info.uncompressed_size || crc != info.crc || closed != UNZ_OK)) {
    failure = "size or checksum mismatch";
  }
  if (out.Close() != 0 && failure.empty()) failure = "write failed";
  if (failure.empty() && platform::RenameFile(temp, target) != 0) failure = "cannot rename";
  if (!failure.empty()) platform::DeleteFile(temp);
  return failure;
}

}  // namespace

UnpackResult UnpackArchive(std::string_view archive, std::string_view folder) {
  UnpackResult result;
  UnzHandle uf(unzOpen64(platform::NativePath(archive).c_str()));
  if (!uf) {
    result.error = "not a readable zip archive";
    return result;
  }
  int status = unzGoToFirstFile(uf.get());
  while (status == UNZ_OK) {
    unz_file_info64 info{};
    char name_buffer[1024];
    if (unzGetCurrentFileInfo64(uf.get(), &info, name_buffer, sizeof name_buffer, nullptr, 0,
                                nullptr, 0) != UNZ_OK) {
      result.error = "damaged archive directory";
      return result;
    }
    const bool whole = info.size_filename < sizeof name_buffer;
    const std::string name(name_buffer, whole ? info.size_filename : sizeof name_buffer - 1);
    if (!whole || !IsPlainName(name) || IsClientWorkFile(name)) {
      result.skipped.push_back(name);
    } else {
      const std::string failure = WriteEntry(uf.get(), info, LocalPath(folder, name));
      if (!failure.empty()) {
        result.error = name + ": " + failure;
        return result;
      }
      result.written.push_back(name);
    }
    status = unzGoToNextFile(uf.get());
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) {
    result.error = "damaged archive directory";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace kestrel::client
