#pragma once
// File system calls over system paths. System paths are 8-bit (Latin-1) text
// with "\" as separator, as the server builds them (".\Config\x.xml"); they
// are mapped to native paths here: "\" becomes "/", each byte becomes the
// UTF-8 encoding of the code point of the same value. Every call returns an
// errno value (0 = success) or a plain result; none throws.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace kestrel::platform {

// System path -> native path.
std::string NativePath(std::string_view system_path);
// Native name (UTF-8) -> system text; nullopt when a character lies above U+00FF
// or the bytes are not valid UTF-8.
std::optional<std::string> SystemName(std::string_view native_name);
// A native name as system text for people to read, also one SystemName
// refuses: printable Latin-1 characters stay, every other character reads
// "<U+XXXX>" (the backslash too), a byte that is not UTF-8 "<0xHH>".
std::string PrintableName(std::string_view native_name);

struct DirEntry {
  std::string name;  // system text (8-bit)
  bool is_folder = false;
  bool is_regular = false;  // a regular file (not a folder, FIFO, socket or device)
  bool is_link = false;     // symbolic link (the other fields describe its target)
  std::uint64_t size = 0;
  FileTime last_write = 0;
};

// Entries a listing left out because their native name has no system form.
struct SkippedNames {
  int count = 0;
  std::string first;  // the native name that comes first in byte order
};

// Lists a folder sorted by name (byte order), without "." and "..". Entries
// whose native name has no system form are left out and noted in *skipped
// (or only counted).
[[nodiscard]] int ListDirectory(std::string_view path, std::vector<DirEntry>& out,
                                SkippedNames* skipped);
[[nodiscard]] int ListDirectory(std::string_view path, std::vector<DirEntry>& out,
                                int* skipped = nullptr);
// The same for an open folder (the descriptor stays the caller's). With
// follow_links false a link is described as itself: is_link, and no field
// tells anything about its target.
[[nodiscard]] int ListDirectoryAt(int dir_fd, bool follow_links, std::vector<DirEntry>& out,
                                  SkippedNames* skipped = nullptr);
// Status of one path (follows links). ENOENT when missing.
[[nodiscard]] int Stat(std::string_view path, DirEntry& out);
bool Exists(std::string_view path);
bool IsFolder(std::string_view path);

[[nodiscard]] int DeleteFile(std::string_view path);
// Deletes the file at path when there is one; true when none is left. Never
// reports: for clean-ups whose failure changes nothing for the caller.
bool RemoveIfExists(std::string_view path);
[[nodiscard]] int RemoveFolder(std::string_view path);  // empty folder only
// Removes a folder tree with file-system calls; never follows links (a link is
// removed, not its target).
[[nodiscard]] int RemoveTree(std::string_view path);
// Renames, replacing an existing target atomically.
[[nodiscard]] int RenameFile(std::string_view from, std::string_view to);
[[nodiscard]] int CopyFile(std::string_view from, std::string_view to, bool overwrite);
// A second name for the same file contents (a hard link; a copy where the file
// system has no links). The target must not exist.
[[nodiscard]] int LinkFile(std::string_view from, std::string_view to);
[[nodiscard]] int CreateFolder(std::string_view path);
[[nodiscard]] int SetLastWriteTime(std::string_view path, FileTime time);
// Bytes free for unprivileged users on the file system holding path.
std::optional<std::uint64_t> FreeSpace(std::string_view path);

// An open file: byte I/O on a descriptor. Closed on destruction.
class File {
 public:
  enum Flags : unsigned {
    kRead = 1u,
    kWrite = 2u,
    kReadWrite = 3u,
    kCreate = 4u,      // create; truncates unless kNoTruncate
    kNoTruncate = 8u,  // with kCreate: keep existing contents
  };
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  [[nodiscard]] int Open(std::string_view path, unsigned flags);
  // Takes over an open descriptor (closing the one held before).
  void Adopt(int fd);
  // Size, kind and last-write time of the open file (its name stays empty).
  [[nodiscard]] int Status(DirEntry& out) const;
  // Reads up to count bytes; returns the count read (0 at end) or -errno.
  [[nodiscard]] long Read(void* buffer, std::size_t count);
  // Writes all bytes; returns 0 or an errno value.
  [[nodiscard]] int Write(const void* data, std::size_t count);
  [[nodiscard]] int SeekToEnd();
  [[nodiscard]] int Seek(std::uint64_t offset);
  [[nodiscard]] int Flush();  // to stable storage
  // After every `bytes` written (0: never), asks the system to start writing
  // the file's new data to storage without waiting for it, so a final Flush
  // of a large file has little left to wait for.
  void SetWriteBehind(std::size_t bytes) { write_behind_ = bytes; }
  int Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  void StartWriteBack();

  int fd_ = -1;
  std::size_t write_behind_ = 0;  // bytes; 0: off
  std::size_t unsynced_ = 0;      // written since the last write-back start
};

}  // namespace kestrel::platform
