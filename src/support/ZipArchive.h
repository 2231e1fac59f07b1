// Zip archives for every transfer: packing files (deflate, entry names as
// given, as 8-bit bytes; data whose first block does not shrink goes into
// deflate's stored blocks, the rest at the fastest level) and extracting
// archives, each entry onto a target
// the caller chooses (for uploads: one fixed file, whatever the entries are
// called).
//
// Paths are system paths (8-bit, "\" separators). Data is streamed in blocks;
// no file is held in memory whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::platform {
class File;
}

namespace kestrel {

// Writes one archive entry by entry. Threads: one owner at a time.
class ZipWriter {
 public:
  ZipWriter() = default;
  ~ZipWriter();  // closes an open archive
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  // Creates (replaces) the archive file. False when it cannot be created.
  [[nodiscard]] bool Create(std::string_view archive_path);
  // Adds the source file under entry_name, deflated (stored blocks when its
  // first block does not shrink, else the fastest level), with the file's
  // last-write time. A source that cannot be opened adds no entry. When *stop
  // becomes true (checked between blocks) the entry is ended early and false is
  // returned; the archive stays valid. stop: borrowed, may be null.
  [[nodiscard]] bool AddFile(std::string_view entry_name, std::string_view source_path,
                             const std::atomic<bool>* stop = nullptr);
  // The same from a file the caller opened (and checked), read from its
  // current position to its end.
  [[nodiscard]] bool AddOpenFile(std::string_view entry_name, platform::File& source,
                                 const std::atomic<bool>* stop = nullptr);
  // Writes the central directory. True when the archive is complete.
  [[nodiscard]] bool Close();
  bool IsOpen() const { return zip_ != nullptr; }
  // Entries added so far.
  int EntryCount() const { return entries_; }

 private:
  void* zip_ = nullptr;  // minizip zipFile, owned
  int entries_ = 0;
};

// Deletes an old archive, creates a new one holding source_path as
// entry_name and closes it. A missing source gives an archive without entries
// (and false). True when the entry was added and the archive closed.
[[nodiscard]] bool PackFile(std::string_view archive_path, std::string_view source_path,
                            std::string_view entry_name);

// Number of entries, or -1 when the archive cannot be opened.
[[nodiscard]] int CountEntries(std::string_view archive_path);

enum class ExtractFailure {
  kNone,
  kCannotOpen,        // not an archive / missing
  kNoSpace,           // declared sizes would leave the disk nearly full
  kUnsupportedEntry,  // encrypted or unknown compression method
  kBadData,           // corrupt compressed data
  kSizeMismatch,      // data longer or shorter than the entry declares
  kCrcMismatch,
  kWriteFailed,     // temporary file, write, rename or time
  kTooManyEntries,  // more entries than the limits allow
  kTooLarge,        // declared sizes add up to more than the limits allow
  kRatio,           // an entry inflates further than deflate honestly can
};

// The highest compression ratio of honest deflate data (258 bytes for a
// code of two bits); an entry that declares more is a bomb, whatever the caller.
inline constexpr std::uint64_t kMaxDeflateRatio = 1032;

// Bounds on an archive a peer sent, checked against its directory before
// anything is written (each entry is also cut off at its declared size while
// it inflates, so the output never exceeds what was checked).
struct ExtractLimits {
  int max_entries = std::numeric_limits<int>::max();                          // entries of any kind
  std::uint64_t max_total_bytes = std::numeric_limits<std::uint64_t>::max();  // file data
};

struct ExtractResult {
  bool ok = false;
  int entries = 0;  // entries written to the target
  ExtractFailure reason = ExtractFailure::kNone;
};

// Where one file entry goes: the system path of its target file, or nullopt
// to leave the entry out. Called once per file entry (folder entries are
// skipped), in archive order, with the entry's name as stored (8-bit bytes).
using EntryTarget = std::function<std::optional<std::string>(std::string_view entry_name)>;

// Writes every file entry that target_of places, in archive order. Each entry
// is written to a side file beside its target (platform/SideFile.h), checked
// (size and CRC) and only then renamed over the target, with the entry's time
// as last-write time. Before anything is written, the archive is checked
// against limits and kMaxDeflateRatio, and the declared sizes of all file
// entries against the free space of folder's file system. On failure every
// target holds its last complete entry or its old contents and no side file
// is left. An archive without entries is ok with entries 0.
[[nodiscard]] ExtractResult ExtractEntries(std::string_view archive_path, std::string_view folder,
                                           const EntryTarget& target_of,
                                           const ExtractLimits& limits = {});

// Every file entry onto target_path ("last one wins"): entry names are never
// used for paths.
[[nodiscard]] ExtractResult ExtractArchive(std::string_view archive_path,
                                           std::string_view target_path,
                                           const ExtractLimits& limits = {});

// Bytes kept free on the target's file system when extracting: 64 MiB plus 1 %
// of the declared data.
std::uint64_t ExtractReserve(std::uint64_t declared_bytes);

// Extracts a one-entry archive onto target_path while its bytes arrive, as
// ExtractArchive does with the whole file: the entry (stored or deflated,
// sizes in its local header) is checked against the limits, kMaxDeflateRatio
// and the free space before anything is written, goes to a side file of the
// target, never past its declared size, and is renamed over the target only
// when the archive is whole: data of the declared size and CRC, then a
// central directory of that one entry agreeing with the local header, then
// the end record.
//
// A deflated entry written while it was sent (data descriptor flag, CRC and
// sizes 0 in its local header) is taken as well: its data ends where its
// deflate stream ends. Its output is bounded while it grows: beyond
// limits.max_total_bytes it fails with kTooLarge; the free space is checked
// before each 64 MiB of it (ExtractReserve of the output so far and the next
// step: kNoSpace), and nothing is written past what was checked. The data
// descriptor (with or without its signature; 8-byte sizes when the local
// header has a zip64 field) follows, then the central directory, whose CRC
// and sizes the data must match; the descriptor must agree with both.
//
// The failures are those ExtractArchive gives for the same damage (kBadData
// where it has none). A head it does not take (no local header first, a
// stored entry with a data descriptor, sizes both in the header and flagged
// as in a descriptor, another method, a folder entry) it declines before it
// writes anything: the caller then extracts the whole archive from a file,
// starting with held(). Memory is bounded (about 700 KiB) and made once.
// Threads: one owner at a time.
class StreamExtractor {
 public:
  explicit StreamExtractor(std::string_view target_path, const ExtractLimits& limits = {});
  ~StreamExtractor();  // removes the side file unless Finish committed it
  StreamExtractor(const StreamExtractor&) = delete;
  StreamExtractor& operator=(const StreamExtractor&) = delete;

  // Takes the archive's next bytes. False once declined or failed; later
  // bytes are ignored.
  bool Feed(std::span<const std::uint8_t> bytes);
  // True when the head is not one this extractor takes.
  bool declined() const;
  // The archive's bytes fed so far, while declined (the head, not yet used).
  std::span<const std::uint8_t> held() const;
  // After the last byte: the checks above, then the target replaced. A
  // declined archive gives kCannotOpen.
  [[nodiscard]] ExtractResult Finish();

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace kestrel
