#pragma once
// An open folder, and everything done beneath it without ever following a
// symbolic link. A tree written by other people and programs may hold links
// and special files; through a Directory they never lead anywhere else:
//
// - Relative paths are system text with "\" between components ("" is the
//   folder itself). Components must be plain names: not empty, not "." or
//   "..", without "/" or NUL (EINVAL otherwise).
// - Folders beneath are resolved with openat2(RESOLVE_BENEATH |
//   RESOLVE_NO_SYMLINKS) where the kernel has it, else component by component
//   with openat(O_NOFOLLOW); each step is relative to the descriptor of the
//   step before, so a folder swapped for a link between a check and the open
//   is never followed. A link anywhere on the way gives kLinkOnTheWay.
// - Name operations act on one entry of this folder and never follow a link:
//   readers accept regular files only (opened O_NOFOLLOW | O_NONBLOCK, so a
//   FIFO never blocks, and checked with fstat), writers put a temporary file
//   beside the name and rename it over the name, so an existing link or
//   special file is replaced, never written through.
//
// Every call returns 0 or an errno value. Threads: one owner at a time.
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace kestrel::platform {

// A symbolic link is the entry or lies on the way to it.
inline constexpr int kLinkOnTheWay = ELOOP;
// The entry is a FIFO, socket or device where a regular file was asked for.
inline constexpr int kNotARegularFile = ENODEV;

enum class EntryKind { kMissing, kFile, kFolder, kLink, kSpecial };

class Directory {
 public:
  enum class Resolution {
    kBest,        // openat2 where the kernel has it, components otherwise
    kComponents,  // always component by component (the fallback, for tests)
  };

  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens a folder by its system path. Links within this path are followed:
  // it names a configured place, not a request. Folders opened beneath this
  // one inherit its resolution.
  [[nodiscard]] int Open(std::string_view system_path, Resolution resolution = Resolution::kBest);
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // The folder at relative beneath this one. ENOENT or ENOTDIR when a level
  // is missing or not a folder.
  [[nodiscard]] int OpenFolder(std::string_view relative, Directory& out) const;
  // The same, creating missing levels one by one.
  [[nodiscard]] int CreateFolders(std::string_view relative, Directory& out) const;

  // --- one entry of this folder (name: one component) ---
  [[nodiscard]] EntryKind Kind(std::string_view name) const;
  // Lists this folder sorted by name, as ListDirectory does, but describes
  // links as links (is_link, nothing about their targets) and follows none.
  [[nodiscard]] int List(std::vector<DirEntry>& out, SkippedNames* skipped = nullptr) const;
  // Opens a regular file for reading (EISDIR for a folder, kNotARegularFile,
  // kLinkOnTheWay).
  [[nodiscard]] int OpenRegularFile(std::string_view name, File& out) const;
  // Reads a regular file whole; EFBIG when it holds more than max_bytes.
  // status, when given, receives its size and last-write time.
  [[nodiscard]] int ReadRegularFile(std::string_view name, std::size_t max_bytes, std::string& out,
                                    DirEntry* status = nullptr) const;
  // Replaces the entry name with a regular file holding data, with the given
  // last-write time when there is one.
  [[nodiscard]] int ReplaceFile(std::string_view name, std::string_view data,
                                std::optional<FileTime> last_write = std::nullopt) const;
  // Moves the file at system path from (outside any checked tree, such as a
  // staging file) to name, replacing a regular file of that name in one step;
  // kLinkOnTheWay or kNotARegularFile when name is a link or special file.
  // EXDEV when from lies on another file system: the caller copies instead.
  [[nodiscard]] int MoveFileIn(std::string_view from, std::string_view name) const;
  // Copies the file at system path from to name through a temporary file, the
  // same checks as MoveFileIn, with the given last-write time.
  [[nodiscard]] int CopyFileIn(std::string_view from, std::string_view name,
                               FileTime last_write) const;
  // Deletes a regular file (EISDIR, kNotARegularFile, kLinkOnTheWay otherwise).
  [[nodiscard]] int DeleteFile(std::string_view name) const;
  // Removes an empty folder (ENOTDIR for a link).
  [[nodiscard]] int RemoveFolder(std::string_view name) const;
  // This folder's last-write time, and setting it back (after writes of our
  // own that must not count as a change of the folder).
  [[nodiscard]] int LastWriteTime(FileTime& out) const;
  [[nodiscard]] int SetLastWriteTime(FileTime time) const;

 private:
  Directory(int fd, Resolution resolution) : fd_(fd), resolution_(resolution) {}
  void Close();
  // The entry name checked against a link or special file before a write.
  [[nodiscard]] int CheckReplaceable(const std::string& native_name) const;
  [[nodiscard]] int Descend(std::string_view relative, bool create, Directory& out) const;
  // Writes source's rest (or, without source, data) to a temporary file here
  // and renames it over native_name.
  [[nodiscard]] int PutBesideAndRename(const std::string& native_name, File* source,
                                       std::string_view data, std::optional<FileTime> time) const;

  int fd_ = -1;
  Resolution resolution_ = Resolution::kBest;
};

}  // namespace kestrel::platform
