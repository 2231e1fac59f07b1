#include "platform/Directory.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace kestrel::platform {
namespace {

constexpr mode_t kFileMode = 0644;
constexpr mode_t kFolderMode = 0755;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
// openat2 gives EAGAIN when a rename raced the lookup; after a few tries the
// lookup goes component by component, which cannot race.
constexpr int kOpenat2Tries = 4;
constexpr std::size_t kCopyBlock = 64 * 1024;

// Cleared once the kernel answered ENOSYS: every later lookup walks components.
std::atomic<bool> g_openat2_available{true};

// Closes a descriptor on every way out unless released.
class OwnedFd {
 public:
  explicit OwnedFd(int fd = -1) : fd_(fd) {}
  ~OwnedFd() { Reset(-1); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool IsPlainComponent(std::string_view part) {
  return !part.empty() && part != "." && part != ".." &&
         part.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The native components of a "\"-separated relative system path; false when
// one of them is not a plain name.
bool SplitRelative(std::string_view relative, std::vector<std::string>& out) {
  out.clear();
  if (relative.empty()) return true;
  for (;;) {
    const std::size_t cut = relative.find('\\');
    const std::string_view part = relative.substr(0, cut);
    if (!IsPlainComponent(part)) return false;
    out.push_back(NativePath(part));
    if (cut == std::string_view::npos) return true;
    relative.remove_prefix(cut + 1);
  }
}

bool NativeName(std::string_view name, std::string& out) {
  if (!IsPlainComponent(name) || name.find('\\') != std::string_view::npos) return false;
  out = NativePath(name);
  return true;
}

EntryKind KindOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return EntryKind::kLink;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  return EntryKind::kSpecial;
}

EntryKind KindAt(int dir_fd, const std::string& native_name) {
  struct stat st;
  if (::fstatat(dir_fd, native_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return EntryKind::kMissing;
  }
  return KindOf(st);
}

// 0 for a regular file (and a missing entry when that is fine), else the
// error that names what the entry is.
int ErrorUnlessFile(EntryKind kind, bool missing_ok) {
  switch (kind) {
    case EntryKind::kMissing:
      return missing_ok ? 0 : ENOENT;
    case EntryKind::kLink:
      return kLinkOnTheWay;
    case EntryKind::kFolder:
      return EISDIR;
    case EntryKind::kSpecial:
      return kNotARegularFile;
    case EntryKind::kFile:
      return 0;
  }
  return EINVAL;
}

// One level down from dir_fd, never through a link. O_DIRECTORY with
// O_NOFOLLOW reports a link as ENOTDIR, so that case is looked at again (a
// folder found there now was a link a moment ago).
int OpenOneLevel(int dir_fd, const std::string& component, int& out) {
  out = ::openat(dir_fd, component.c_str(), kFolderFlags | O_NOFOLLOW);
  if (out >= 0) return 0;
  const int error = errno;
  if (error == ENOTDIR || error == ELOOP) {
    const EntryKind kind = KindAt(dir_fd, component);
    return kind == EntryKind::kLink || kind == EntryKind::kFolder ? kLinkOnTheWay : ENOTDIR;
  }
  return error;
}

int WalkComponents(int start_fd, const std::vector<std::string>& parts, bool create, int& out) {
  OwnedFd current(::openat(start_fd, ".", kFolderFlags));
  if (current.get() < 0) return errno;
  for (const std::string& part : parts) {
    if (create && ::mkdirat(current.get(), part.c_str(), kFolderMode) != 0 && errno != EEXIST) {
      return errno;
    }
    int next = -1;
    const int error = OpenOneLevel(current.get(), part, next);
    if (error != 0) return error;
    current.Reset(next);
  }
  out = current.Release();
  return 0;
}

// openat2 beneath start_fd without any link; ENOSYS when the kernel lacks it,
// EAGAIN when every try raced a rename.
int OpenBeneath(int start_fd, const std::vector<std::string>& parts, int& out) {
  std::string path;
  for (const std::string& part : parts) {
    if (!path.empty()) path += '/';
    path += part;
  }
  open_how how{};
  how.flags = kFolderFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < kOpenat2Tries; ++attempt) {
    const long fd = ::syscall(SYS_openat2, start_fd, path.c_str(), &how, sizeof how);
    if (fd >= 0) {
      out = static_cast<int>(fd);
      return 0;
    }
    if (errno == EAGAIN) continue;
    // RESOLVE_BENEATH answers EXDEV for a way out; plain names never take one.
    return errno == EXDEV ? kLinkOnTheWay : errno;
  }
  return EAGAIN;
}

std::string TemporaryName() {
  static std::atomic<unsigned> counter{0};
  // "~": never listed by a scan; unique among this machine's processes.
  return "~kestrel." + std::to_string(static_cast<long>(::getpid())) + "_" +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

int CopyAll(File& from, File& to) {
  std::vector<char> block(kCopyBlock);
  for (;;) {
    const long got = from.Read(block.data(), block.size());
    if (got < 0) return static_cast<int>(-got);
    if (got == 0) return 0;
    const int error = to.Write(block.data(), static_cast<std::size_t>(got));
    if (error != 0) return error;
  }
}

struct timespec TimespecOf(FileTime time) {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  UnixFromFileTime(time, seconds, nanoseconds);
  struct timespec out {};
  out.tv_sec = static_cast<time_t>(seconds);
  out.tv_nsec = static_cast<long>(nanoseconds);
  return out;
}

int SetTimeOf(int fd, FileTime time) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = TimespecOf(time);
  return ::futimens(fd, times) == 0 ? 0 : errno;
}

}  // namespace

Directory::~Directory() {
  Close();
}

Directory::Directory(Directory&& other) noexcept : fd_(other.fd_), resolution_(other.resolution_) {
  other.fd_ = -1;
}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    resolution_ = other.resolution_;
    other.fd_ = -1;
  }
  return *this;
}

void Directory::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int Directory::Open(std::string_view system_path, Resolution resolution) {
  Close();
  resolution_ = resolution;
  const int fd = ::open(NativePath(system_path).c_str(), kFolderFlags);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int Directory::OpenFolder(std::string_view relative, Directory& out) const {
  return Descend(relative, false, out);
}

int Directory::CreateFolders(std::string_view relative, Directory& out) const {
  return Descend(relative, true, out);
}

int Directory::Descend(std::string_view relative, bool create, Directory& out) const {
  if (fd_ < 0) return EBADF;
  std::vector<std::string> parts;
  if (!SplitRelative(relative, parts)) return EINVAL;
  int fd = -1;
  int error = EAGAIN;
  if (!create && resolution_ == Resolution::kBest && !parts.empty() && g_openat2_available.load()) {
    error = OpenBeneath(fd_, parts, fd);
    if (error == ENOSYS) g_openat2_available.store(false);
  }
  if (error == ENOSYS || error == EAGAIN) error = WalkComponents(fd_, parts, create, fd);
  if (error != 0) return error;
  out = Directory(fd, resolution_);
  return 0;
}

EntryKind Directory::Kind(std::string_view name) const {
  std::string native;
  if (fd_ < 0 || !NativeName(name, native)) return EntryKind::kMissing;
  return KindAt(fd_, native);
}

int Directory::List(std::vector<DirEntry>& out, SkippedNames* skipped) const {
  if (fd_ < 0) return EBADF;
  return ListDirectoryAt(fd_, false, out, skipped);
}

int Directory::OpenRegularFile(std::string_view name, File& out) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  // Looked at before the open, so that no device is ever opened; the open
  // itself follows no link and the descriptor is checked again.
  const int kind_error = ErrorUnlessFile(KindAt(fd_, native), false);
  if (kind_error != 0) return kind_error;
  OwnedFd fd(::openat(fd_, native.c_str(), kReadFlags));
  if (fd.get() < 0) return errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : kNotARegularFile;
  out.Adopt(fd.Release());
  return 0;
}

int Directory::ReadRegularFile(std::string_view name, std::size_t max_bytes, std::string& out,
                               DirEntry* status) const {
  File file;
  int error = OpenRegularFile(name, file);
  if (error != 0) return error;
  DirEntry info;
  error = file.Status(info);
  if (error != 0) return error;
  if (info.size > max_bytes) return EFBIG;
  out.clear();
  char block[16 * 1024];
  for (;;) {
    const long got = file.Read(block, sizeof block);
    if (got < 0) return static_cast<int>(-got);
    if (got == 0) break;
    out.append(block, static_cast<std::size_t>(got));
    if (out.size() > max_bytes) return EFBIG;  // grew while being read
  }
  if (status != nullptr) *status = info;
  return 0;
}

int Directory::ReplaceFile(std::string_view name, std::string_view data,
                           std::optional<FileTime> last_write) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  return PutBesideAndRename(native, nullptr, data, last_write);
}

int Directory::CheckReplaceable(const std::string& native_name) const {
  return ErrorUnlessFile(KindAt(fd_, native_name), true);
}

int Directory::MoveFileIn(std::string_view from, std::string_view name) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  const int error = CheckReplaceable(native);
  if (error != 0) return error;
  // rename replaces the entry itself: even a link put there since the check
  // would be replaced inside this folder, never followed.
  return ::renameat(AT_FDCWD, NativePath(from).c_str(), fd_, native.c_str()) == 0 ? 0 : errno;
}

int Directory::CopyFileIn(std::string_view from, std::string_view name, FileTime last_write) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  const int error = CheckReplaceable(native);
  if (error != 0) return error;
  File source;
  const int open_error = source.Open(from, File::kRead);
  if (open_error != 0) return open_error;
  return PutBesideAndRename(native, &source, {}, last_write);
}

int Directory::PutBesideAndRename(const std::string& native_name, File* source,
                                  std::string_view data, std::optional<FileTime> time) const {
  const std::string temp = TemporaryName();
  const int fd =
      ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return errno;
  File out;
  out.Adopt(fd);
  int error = source != nullptr ? CopyAll(*source, out) : out.Write(data.data(), data.size());
  if (error == 0 && time) error = SetTimeOf(out.fd(), *time);
  const int close_error = out.Close();
  if (error == 0) error = close_error;
  if (error == 0 && ::renameat(fd_, temp.c_str(), fd_, native_name.c_str()) != 0) error = errno;
  if (error != 0) ::unlinkat(fd_, temp.c_str(), 0);
  return error;
}

int Directory::DeleteFile(std::string_view name) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  const int kind_error = ErrorUnlessFile(KindAt(fd_, native), false);
  if (kind_error != 0) return kind_error;
  // unlinkat removes the entry of this folder, whatever it is by now; it
  // never reaches through a link.
  return ::unlinkat(fd_, native.c_str(), 0) == 0 ? 0 : errno;
}

int Directory::RemoveFolder(std::string_view name) const {
  std::string native;
  if (fd_ < 0) return EBADF;
  if (!NativeName(name, native)) return EINVAL;
  return ::unlinkat(fd_, native.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int Directory::LastWriteTime(FileTime& out) const {
  struct stat st;
  if (fd_ < 0) return EBADF;
  if (::fstat(fd_, &st) != 0) return errno;
  out = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return 0;
}

int Directory::SetLastWriteTime(FileTime time) const {
  if (fd_ < 0) return EBADF;
  return SetTimeOf(fd_, time);
}

}  // namespace kestrel::platform
