#include "platform/FileSystem.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

namespace kestrel::platform {
namespace {

constexpr mode_t kFileMode = 0644;
constexpr mode_t kFolderMode = 0755;

// Closes a descriptor when it goes out of scope.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

FileTime FileTimeOf(const struct stat& st) {
  return FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

void FillEntry(const struct stat& st, bool is_link, DirEntry& out) {
  out.is_folder = S_ISDIR(st.st_mode);
  out.is_regular = S_ISREG(st.st_mode);
  out.is_link = is_link;
  out.size = out.is_folder ? 0 : static_cast<std::uint64_t>(st.st_size);
  out.last_write = FileTimeOf(st);
}

// Status of name inside dir_fd: follows a link (when asked to), falls back to
// the link itself when its target is missing.
int StatAt(int dir_fd, const char* name, DirEntry& out, bool follow_links = true) {
  struct stat lst;
  if (::fstatat(dir_fd, name, &lst, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  bool is_link = S_ISLNK(lst.st_mode);
  struct stat st;
  if (is_link && follow_links && ::fstatat(dir_fd, name, &st, 0) == 0) {
    FillEntry(st, true, out);
  } else {
    FillEntry(lst, is_link, out);
  }
  return 0;
}

// Removes everything inside the open folder dir_fd (which it takes over).
// Never follows links: sub folders are opened with O_NOFOLLOW relative to
// their parent. Returns the first error met; carries on past errors.
int RemoveContents(int dir_fd) {
  DIR* raw = ::fdopendir(dir_fd);
  if (raw == nullptr) {
    int err = errno;
    ::close(dir_fd);
    return err;
  }
  DirPtr dir(raw);
  std::vector<std::string> names;
  while (dirent* ent = ::readdir(dir.get())) {
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  int fd = ::dirfd(dir.get());
  int first_error = 0;
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && first_error == 0) first_error = errno;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        if (first_error == 0) first_error = errno;
        continue;
      }
      int err = RemoveContents(sub);
      if (err != 0 && first_error == 0) first_error = err;
      if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && first_error == 0) first_error = errno;
    } else if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT && first_error == 0) {
      first_error = errno;
    }
  }
  return first_error;
}

std::string_view LastComponent(std::string_view path) {
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.remove_suffix(1);
  auto pos = path.find_last_of("\\/");
  return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

}  // namespace

std::string NativePath(std::string_view system_path) {
  std::string out;
  out.reserve(system_path.size() + 8);
  for (char c : system_path) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += '/';
    } else if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::optional<std::string> SystemName(std::string_view native_name) {
  std::string out;
  out.reserve(native_name.size());
  for (std::size_t i = 0; i < native_name.size(); ++i) {
    auto byte = static_cast<unsigned char>(native_name[i]);
    if (byte < 0x80) {
      // A backslash would read as a separator when the name is used again.
      if (byte == '\\') return std::nullopt;
      out += static_cast<char>(byte);
      continue;
    }
    // Only the two-byte forms of U+0080..U+00FF (lead bytes C2, C3) fit.
    if ((byte != 0xC2 && byte != 0xC3) || i + 1 >= native_name.size()) return std::nullopt;
    auto next = static_cast<unsigned char>(native_name[i + 1]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    out += static_cast<char>(((byte & 0x1F) << 6) | (next & 0x3F));
    ++i;
  }
  return out;
}

namespace {

// The code point of the UTF-8 sequence at text[i] and its length; length 0
// when the bytes there are no valid sequence.
std::pair<std::uint32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > text.size()) return {0, 0};
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    code = code << 6 | (next & 0x3F);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return {0, 0};
  }
  return {code, length};
}

}  // namespace

std::string PrintableName(std::string_view native_name) {
  std::string out;
  char escape[16];
  for (std::size_t i = 0; i < native_name.size();) {
    const auto [code, length] = DecodeUtf8(native_name, i);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "<0x%02X>", static_cast<unsigned char>(native_name[i]));
      out += escape;
      ++i;
      continue;
    }
    const bool printable =
        (code >= 0x20 && code < 0x7F && code != '\\') || (code >= 0xA0 && code <= 0xFF);
    if (printable) {
      out += static_cast<char>(code);
    } else {
      std::snprintf(escape, sizeof escape, "<U+%04X>", static_cast<unsigned>(code));
      out += escape;
    }
    i += length;
  }
  return out;
}

int ListDirectory(std::string_view path, std::vector<DirEntry>& out, SkippedNames* skipped) {
  out.clear();
  if (skipped != nullptr) *skipped = SkippedNames{};
  std::string native = NativePath(path);
  FdGuard fd(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  return ListDirectoryAt(fd.get(), true, out, skipped);
}

int ListDirectoryAt(int dir_fd, bool follow_links, std::vector<DirEntry>& out,
                    SkippedNames* skipped) {
  out.clear();
  if (skipped != nullptr) *skipped = SkippedNames{};
  // A descriptor of its own: the listing takes it over and reads from the start.
  int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* raw = ::fdopendir(fd);
  if (raw == nullptr) {
    int err = errno;
    ::close(fd);
    return err;
  }
  DirPtr dir(raw);
  int list_fd = ::dirfd(dir.get());
  for (;;) {
    errno = 0;
    dirent* ent = ::readdir(dir.get());
    if (ent == nullptr) {
      if (errno != 0) {
        int err = errno;
        out.clear();
        return err;
      }
      break;
    }
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    std::optional<std::string> system = SystemName(name);
    if (!system) {
      if (skipped != nullptr && (skipped->count++ == 0 || name < skipped->first)) {
        skipped->first.assign(name);
      }
      continue;
    }
    DirEntry entry;
    if (StatAt(list_fd, ent->d_name, entry, follow_links) != 0) continue;  // vanished meanwhile
    entry.name = std::move(*system);
    out.push_back(std::move(entry));
  }
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return 0;
}

int ListDirectory(std::string_view path, std::vector<DirEntry>& out, int* skipped) {
  SkippedNames noted;
  const int error = ListDirectory(path, out, &noted);
  if (skipped != nullptr) *skipped = noted.count;
  return error;
}

int Stat(std::string_view path, DirEntry& out) {
  std::string native = NativePath(path);
  DirEntry entry;
  int err = StatAt(AT_FDCWD, native.c_str(), entry);
  if (err != 0) return err;
  entry.name = std::string(LastComponent(path));
  out = std::move(entry);
  return 0;
}

bool Exists(std::string_view path) {
  struct stat st;
  return ::lstat(NativePath(path).c_str(), &st) == 0;
}

bool IsFolder(std::string_view path) {
  struct stat st;
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int DeleteFile(std::string_view path) {
  return ::unlink(NativePath(path).c_str()) == 0 ? 0 : errno;
}

bool RemoveIfExists(std::string_view path) {
  const int error = DeleteFile(path);
  return error == 0 || error == ENOENT;
}

int RemoveFolder(std::string_view path) {
  return ::rmdir(NativePath(path).c_str()) == 0 ? 0 : errno;
}

int RemoveTree(std::string_view path) {
  std::string native = NativePath(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlink(native.c_str()) == 0 ? 0 : errno;
  int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = RemoveContents(fd);
  if (::rmdir(native.c_str()) != 0 && err == 0) err = errno;
  return err;
}

int RenameFile(std::string_view from, std::string_view to) {
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0 ? 0 : errno;
}

int LinkFile(std::string_view from, std::string_view to) {
  if (link(NativePath(from).c_str(), NativePath(to).c_str()) == 0) return 0;
  const int error = errno;
  if (error == EPERM || error == EXDEV || error == EMLINK || error == ENOTSUP) {
    return CopyFile(from, to, false);
  }
  return error;
}

int CopyFile(std::string_view from, std::string_view to, bool overwrite) {
  std::string native_from = NativePath(from);
  std::string native_to = NativePath(to);
  FdGuard in(::open(native_from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return errno;
  struct stat in_st;
  if (::fstat(in.get(), &in_st) != 0) return errno;
  if (S_ISDIR(in_st.st_mode)) return EISDIR;

  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? 0 : O_EXCL);
  FdGuard out(::open(native_to.c_str(), flags, kFileMode));
  if (out.get() < 0) return errno;
  struct stat out_st;
  if (::fstat(out.get(), &out_st) != 0) return errno;
  // Copying a file onto itself would truncate the source first.
  if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) return EINVAL;
  if (S_ISREG(out_st.st_mode) && ::ftruncate(out.get(), 0) != 0) return errno;

  char buffer[64 * 1024];
  int err = 0;
  for (;;) {
    ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (got == 0) break;
    const char* p = buffer;
    while (got > 0) {
      ssize_t put = ::write(out.get(), p, static_cast<std::size_t>(got));
      if (put < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      p += put;
      got -= put;
    }
    if (err != 0) break;
  }
  if (err == 0) {
    // The copy carries the source's last-write time, as a copy does on the server's home system.
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = in_st.st_mtim;
    ::futimens(out.get(), times);
  }
  if (::close(out.release()) != 0 && err == 0) err = errno;
  if (err != 0) ::unlink(native_to.c_str());  // no half-written copies
  return err;
}

int CreateFolder(std::string_view path) {
  return ::mkdir(NativePath(path).c_str(), kFolderMode) == 0 ? 0 : errno;
}

int SetLastWriteTime(std::string_view path, FileTime time) {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  UnixFromFileTime(time, seconds, nanoseconds);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(nanoseconds);
  return ::utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0 ? 0 : errno;
}

std::optional<std::uint64_t> FreeSpace(std::string_view path) {
  struct statvfs sv;
  if (::statvfs(NativePath(path).c_str(), &sv) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
}

// ---- File ----

File::~File() {
  Close();
}

File::File(File&& other) noexcept
    : fd_(other.fd_), write_behind_(other.write_behind_), unsynced_(other.unsynced_) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    write_behind_ = other.write_behind_;
    unsynced_ = other.unsynced_;
    other.fd_ = -1;
  }
  return *this;
}

int File::Open(std::string_view path, unsigned flags) {
  Close();
  int oflags = O_CLOEXEC;
  switch (flags & kReadWrite) {
    case kRead:
      oflags |= O_RDONLY;
      break;
    case kWrite:
      oflags |= O_WRONLY;
      break;
    case kReadWrite:
      oflags |= O_RDWR;
      break;
    default:
      return EINVAL;
  }
  if (flags & kCreate) {
    oflags |= O_CREAT;
    if (!(flags & kNoTruncate)) oflags |= O_TRUNC;
  }
  int fd = ::open(NativePath(path).c_str(), oflags, kFileMode);
  if (fd < 0) return errno;
  struct stat st;
  int err = ::fstat(fd, &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? EISDIR : 0);
  if (err != 0) {
    ::close(fd);
    return err;
  }
  fd_ = fd;
  return 0;
}

void File::Adopt(int fd) {
  Close();
  fd_ = fd;
}

int File::Status(DirEntry& out) const {
  if (fd_ < 0) return EBADF;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno;
  FillEntry(st, false, out);
  return 0;
}

long File::Read(void* buffer, std::size_t count) {
  if (fd_ < 0) return -EBADF;
  for (;;) {
    ssize_t got = ::read(fd_, buffer, count);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return -errno;
  }
}

int File::Write(const void* data, std::size_t count) {
  if (fd_ < 0) return EBADF;
  auto* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t put = ::write(fd_, p, count);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += put;
    count -= static_cast<std::size_t>(put);
    unsynced_ += static_cast<std::size_t>(put);
  }
  if (write_behind_ != 0 && unsynced_ >= write_behind_) StartWriteBack();
  return 0;
}

void File::StartWriteBack() {
  unsynced_ = 0;
#ifdef __linux__
  // Starts write-out of every dirty page not yet under way; waits for none.
  (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

int File::SeekToEnd() {
  if (fd_ < 0) return EBADF;
  return ::lseek(fd_, 0, SEEK_END) < 0 ? errno : 0;
}

int File::Seek(std::uint64_t offset) {
  if (fd_ < 0) return EBADF;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

int File::Flush() {
  if (fd_ < 0) return EBADF;
  return ::fsync(fd_) == 0 ? 0 : errno;
}

int File::Close() {
  if (fd_ < 0) return 0;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace kestrel::platform
