#include "support/ZipArchive.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#if KESTREL_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/SideFile.h"
#include "support/RawDeflate.h"
#include "support/ZipLayout.h"

namespace kestrel {

namespace {

using namespace zip_layout;

constexpr size_t kBlockSize = 64 * 1024;
constexpr std::uint64_t kReserveFixed = 64ull * 1024 * 1024;

// Writes the data of one open entry and closes it. Entries at the fast level
// are deflated here (RawDeflater: igzip when built in) and go to the zip
// library raw, with the CRC and size their headers need; stored-block
// entries are deflated by the zip library with zlib.
// Threads: one owner at a time.
class EntryData {
 public:
  EntryData(zipFile zip, DeflateLevel level) : zip_(zip) {
    if (level == DeflateLevel::kFast) deflater_ = std::make_unique<RawDeflater>(level);
  }
  // Whether the zip library must take the entry's data as already deflated.
  bool raw() const { return deflater_ != nullptr; }

  [[nodiscard]] bool Write(const unsigned char* data, size_t size) {
    if (deflater_) {
      const std::span<const std::uint8_t> bytes(data, size);
      crc_ = ZipCrc32(crc_, bytes);
      size_ += size;
      return deflater_->Deflate(bytes, false, sink_);
    }
    return zipWriteInFileInZip(zip_, data, static_cast<unsigned>(size)) == ZIP_OK;
  }

  // Ends the entry's deflate stream and closes the entry; an entry cut short
  // is still a valid entry of the bytes written so far.
  [[nodiscard]] bool Close() {
    if (deflater_) {
      const bool ended = deflater_->Deflate({}, true, sink_);
      const bool closed = zipCloseFileInZipRaw64(zip_, size_, crc_) == ZIP_OK;
      return ended && closed;
    }
    return zipCloseFileInZip(zip_) == ZIP_OK;
  }

 private:
  zipFile zip_;  // borrowed
  // Hands deflated bytes to the zip library as they are.
  const RawDeflater::Sink sink_ = [this](std::span<const std::uint8_t> bytes) {
    return zipWriteInFileInZip(zip_, bytes.data(), static_cast<unsigned>(bytes.size())) == ZIP_OK;
  };
  std::unique_ptr<RawDeflater> deflater_;  // raw entries only
  std::uint32_t crc_ = 0;                  // of the bytes written so far
  std::uint64_t size_ = 0;
};

zipFile AsZip(void* handle) {
  return static_cast<zipFile>(handle);
}

// The entry's modification time: the extended timestamp field (UTC seconds)
// when present, else the DOS date (time in the low half) read as local time.
// 0 when there is none.
platform::FileTime EntryTime(std::uint32_t dos_date, std::span<const unsigned char> extra) {
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    const unsigned id = extra[pos] | (extra[pos + 1] << 8);
    const size_t size = extra[pos + 2] | (extra[pos + 3] << 8);
    const size_t data = pos + 4;
    if (data + size > extra.size()) break;
    if (id == 0x5455 && size >= 5 && (extra[data] & 1) != 0) {
      const std::uint32_t raw = static_cast<std::uint32_t>(extra[data + 1]) |
                                static_cast<std::uint32_t>(extra[data + 2]) << 8 |
                                static_cast<std::uint32_t>(extra[data + 3]) << 16 |
                                static_cast<std::uint32_t>(extra[data + 4]) << 24;
      return platform::FileTimeFromUnix(static_cast<std::int32_t>(raw), 0);
    }
    pos = data + size;
  }
  if (dos_date == 0) return 0;
  const std::uint32_t date = dos_date >> 16;
  std::tm local{};
  local.tm_sec = static_cast<int>(2 * (dos_date & 0x1f));
  local.tm_min = static_cast<int>((dos_date >> 5) & 0x3f);
  local.tm_hour = static_cast<int>((dos_date >> 11) & 0x1f);
  local.tm_mday = static_cast<int>(date & 0x1f);
  local.tm_mon = static_cast<int>((date >> 5) & 0x0f) - 1;
  local.tm_year = static_cast<int>(date >> 9) + 80;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return 0;
  return platform::FileTimeFromUnix(static_cast<std::int64_t>(t), 0);
}

// Closes an unzip handle on every way out.
struct UnzCloser {
  void operator()(void* handle) const { unzClose(static_cast<unzFile>(handle)); }
};
using UnzHandle = std::unique_ptr<void, UnzCloser>;

UnzHandle OpenUnzip(std::string_view archive_path) {
  const std::string native = platform::NativePath(archive_path);
  return UnzHandle(unzOpen64(native.c_str()));
}

// True for an archive without entries: only the end record, at offset 0. The
// zip library refuses to open those, so they are recognised here.
bool IsEmptyArchive(std::string_view archive_path) {
  platform::File in;
  if (in.Open(archive_path, platform::File::kRead) != 0) return false;
  std::vector<unsigned char> bytes(kEndSize + 0xFFFF + 1);
  size_t size = 0;
  while (size < bytes.size()) {
    const long n = in.Read(bytes.data() + size, bytes.size() - size);
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  if (size < kEndSize || size > kEndSize + 0xFFFF) return false;
  bool zeros = true;
  for (size_t at = 4; at < 20; ++at) zeros = zeros && bytes[at] == 0;
  return Little(bytes, 0, 4) == kEndSignature && zeros && Little(bytes, 20, 2) == size - kEndSize;
}

// Folder holding path (system path), "." when it has none.
std::string ParentFolder(std::string_view path) {
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string_view::npos) return ".";
  if (cut == 0) return std::string(path.substr(0, 1));
  return std::string(path.substr(0, cut));
}

struct EntryInfo {
  unz_file_info64 info{};
  std::string name;
  std::vector<unsigned char> extra;
  bool is_folder = false;
};

bool ReadEntryInfo(unzFile uf, EntryInfo& entry) {
  if (unzGetCurrentFileInfo64(uf, &entry.info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
    return false;
  }
  entry.name.assign(entry.info.size_filename, '\0');
  entry.extra.assign(entry.info.size_file_extra, 0);
  if (unzGetCurrentFileInfo64(uf, &entry.info, entry.name.data(), entry.name.size(),
                              entry.extra.data(), entry.extra.size(), nullptr, 0) != UNZ_OK) {
    return false;
  }
  entry.is_folder = !entry.name.empty() &&
                    (entry.name.back() == '/' || entry.name.back() == '\\') &&
                    entry.info.uncompressed_size == 0;
  return true;
}

// Gives the side file the entry's time and renames it over its target.
ExtractFailure CommitEntry(platform::SideFile& side, std::uint32_t dos_date,
                           std::span<const unsigned char> extra) {
  if (side.file().Flush() != 0) return ExtractFailure::kWriteFailed;
  const platform::FileTime time = EntryTime(dos_date, extra);
  if (time != 0)
    (void)platform::SetLastWriteTime(side.path(), time);  // a time that cannot be set is no loss
  return side.Commit() == 0 ? ExtractFailure::kNone : ExtractFailure::kWriteFailed;
}

ExtractFailure CommitEntry(platform::SideFile& side, const EntryInfo& entry) {
  return CommitEntry(side, static_cast<std::uint32_t>(entry.info.dosDate), entry.extra);
}

// An entry's declared sizes that honest deflate data cannot give (also
// checked for stored entries: no sender stores what deflate shrinks).
bool BeyondRatio(std::uint64_t size, std::uint64_t compressed) {
  return size / kMaxDeflateRatio > compressed || (size > 0 && compressed == 0);
}

// The declared sizes of all file entries against the limits and the free
// space of folder's file system.
// Whether writing adding more bytes into folder's file system leaves the
// reserve for total bytes of data free.
bool LeavesReserve(std::string_view folder, std::uint64_t adding, std::uint64_t total) {
  const std::optional<std::uint64_t> free = platform::FreeSpace(folder);
  return !free || (adding <= *free && *free - adding >= ExtractReserve(total));
}

ExtractFailure CheckRoom(std::uint64_t declared, const ExtractLimits& limits,
                         std::string_view folder) {
  if (declared > limits.max_total_bytes) return ExtractFailure::kTooLarge;
  if (declared > 0 && !LeavesReserve(folder, declared, declared)) return ExtractFailure::kNoSpace;
  return ExtractFailure::kNone;
}

// Raw deflate data to plain bytes, step by step: ISA-L when built in, zlib
// otherwise. The state (about 90 KiB with ISA-L) is made at the first Reset
// and kept. Threads: one owner at a time.
class Inflater {
 public:
  enum class Step { kGoing, kEnded, kBad };

  Inflater() = default;
  ~Inflater() {
#if !KESTREL_HAVE_ISAL
    if (started_) inflateEnd(&z_);
#endif
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Begins a new stream. False when zlib has no memory.
  [[nodiscard]] bool Reset() {
#if KESTREL_HAVE_ISAL
    // Set up by isal_inflate_init, whatever it held before.
    if (!state_) state_ = std::make_unique_for_overwrite<inflate_state>();
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;
    ahead_size_ = 0;
    return true;
#else
    ended_ = false;
    if (started_) return inflateReset(&z_) == Z_OK;
    started_ = inflateInit2(&z_, -MAX_WBITS) == Z_OK;
    return started_;
#endif
  }

  // Inflates from in (advanced past the bytes taken) into out; *produced
  // bytes of out are filled.
  Step Run(std::span<const unsigned char>& in, std::span<unsigned char> out, size_t* produced) {
#if KESTREL_HAVE_ISAL
    state_->next_in = const_cast<std::uint8_t*>(in.data());
    state_->avail_in = static_cast<std::uint32_t>(in.size());
    state_->next_out = out.data();
    state_->avail_out = static_cast<std::uint32_t>(out.size());
    const int status = isal_inflate(state_.get());
    if (status < 0) {  // then avail_in may be past the input (seen: -1)
      *produced = 0;
      return Step::kBad;
    }
    in = in.subspan(in.size() - state_->avail_in);
    *produced = out.size() - state_->avail_out;
    if (state_->block_state != ISAL_BLOCK_FINISH) return Step::kGoing;
    // ISA-L reads ahead into a 64-bit buffer and keeps what it holds past the
    // stream's end: whole bytes above the last byte's padding bits.
    const int bits = std::max(state_->read_in_length, 0);
    ahead_size_ = std::min(static_cast<size_t>(bits / 8), ahead_.size());
    for (size_t i = 0; i < ahead_size_; ++i) {
      ahead_[i] = static_cast<unsigned char>(state_->read_in >> (bits % 8 + 8 * i));
    }
    return Step::kEnded;
#else
    z_.next_in = const_cast<Bytef*>(in.data());
    z_.avail_in = static_cast<uInt>(in.size());
    z_.next_out = out.data();
    z_.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z_, Z_NO_FLUSH);
    in = in.subspan(in.size() - z_.avail_in);
    *produced = out.size() - z_.avail_out;
    ended_ = status == Z_STREAM_END;  // zlib stops right at the end
    if (ended_) return Step::kEnded;
    return status == Z_OK || status == Z_BUF_ERROR ? Step::kGoing : Step::kBad;
#endif
  }

  // True once the stream has ended.
  bool ended() const {
#if KESTREL_HAVE_ISAL
    return state_ && state_->block_state == ISAL_BLOCK_FINISH;
#else
    return ended_;
#endif
  }

  // After kEnded: input bytes past the stream's end that Run took without
  // using, in order, before the input it left. Empty with zlib.
  std::span<const unsigned char> ReadAhead() const {
#if KESTREL_HAVE_ISAL
    return std::span(ahead_.data(), ahead_size_);
#else
    return {};
#endif
  }

 private:
#if KESTREL_HAVE_ISAL
  std::unique_ptr<inflate_state> state_;  // large: kept off the stack
  std::array<unsigned char, 8> ahead_{};
  size_t ahead_size_ = 0;
#else
  z_stream z_{};
  bool started_ = false;
  bool ended_ = false;
#endif
};

// The plain bytes of one entry on their way into its file: gathered in one
// block (at most 256 KiB, made once and kept), their CRC taken, written when
// the block is full, cut off at the declared size. Threads: one owner at a time.
class EntryOutput {
 public:
  // Bounds memory per extraction: servers extract many uploads at once.
  static constexpr size_t kBlock = 256 * 1024;

  void Start(platform::File& file, std::uint64_t declared) {
    file_ = &file;
    declared_ = declared;
    produced_ = 0;
    held_ = 0;
    crc_ = 0;
    const size_t size = static_cast<size_t>(std::min<std::uint64_t>(declared, kBlock));
    if (block_.size() < size) block_.resize(size);
  }
  // Where the next bytes go, up to the declared size; a full block is written
  // first. Empty once the declared size is reached or a write failed.
  std::span<unsigned char> Room() {
    if (held_ == block_.size() && !Flush()) return {};
    return std::span<unsigned char>(
        block_.data() + held_,
        static_cast<size_t>(std::min<std::uint64_t>(block_.size() - held_, declared_ - produced_)));
  }
  // Moves the cut-off to declared bytes (never below those produced).
  void Allow(std::uint64_t declared) { declared_ = std::max(declared, produced_); }
  void Produced(size_t n) {
    held_ += n;
    produced_ += n;
  }
  // Writes the bytes held; false when the write fails.
  [[nodiscard]] bool Flush() {
    if (held_ == 0) return true;
    crc_ = ZipCrc32(crc_, std::span(block_.data(), held_));
    const bool ok = file_->Write(block_.data(), held_) == 0;
    held_ = 0;
    return ok;
  }
  bool full() const { return produced_ == declared_; }
  std::uint64_t produced() const { return produced_; }
  std::uint32_t crc() const { return crc_; }  // of the bytes written

 private:
  platform::File* file_ = nullptr;  // borrowed for one entry
  std::vector<unsigned char> block_;
  size_t held_ = 0;
  std::uint64_t declared_ = 0;
  std::uint64_t produced_ = 0;
  std::uint32_t crc_ = 0;
};

enum class Pour { kGoing, kFull, kEnded, kBad, kWriteFailed };

// Inflates in into out until in is used up and nothing more comes out, the
// declared size is reached or the stream ends. rest (may be null) receives
// the input not taken.
Pour InflateInto(Inflater& inflater, std::span<const unsigned char> in, EntryOutput& out,
                 std::span<const unsigned char>* rest = nullptr) {
  for (;;) {
    if (rest != nullptr) *rest = in;
    if (out.full()) return Pour::kFull;
    const std::span<unsigned char> room = out.Room();
    if (room.empty()) return Pour::kWriteFailed;
    const size_t before = in.size();
    size_t produced = 0;
    const Inflater::Step step = inflater.Run(in, room, &produced);
    out.Produced(produced);
    if (rest != nullptr) *rest = in;
    if (step == Inflater::Step::kBad) return Pour::kBad;
    if (step == Inflater::Step::kEnded) return out.full() ? Pour::kFull : Pour::kEnded;
    if (in.empty() && produced < room.size()) return Pour::kGoing;
    if (produced == 0 && in.size() == before) return Pour::kBad;  // stuck
  }
}

// Copies stored bytes from in into out, up to the declared size.
Pour CopyInto(std::span<const unsigned char> in, EntryOutput& out) {
  while (!in.empty() && !out.full()) {
    const std::span<unsigned char> room = out.Room();
    if (room.empty()) return Pour::kWriteFailed;
    const size_t n = std::min(room.size(), in.size());
    std::memcpy(room.data(), in.data(), n);
    out.Produced(n);
    in = in.subspan(n);
  }
  return out.full() ? Pour::kFull : Pour::kGoing;
}

// Streams the current entry through the zip library (zlib inflate) into a
// side file of target, checks it and renames it over target. Leaves no side
// file behind. This path decides every failure.
ExtractFailure ExtractThroughZipLibrary(unzFile uf, const EntryInfo& entry, std::string_view target,
                                        std::vector<unsigned char>& block) {
  if (unzOpenCurrentFile(uf) != UNZ_OK) return ExtractFailure::kBadData;

  platform::SideFile side(target);
  ExtractFailure failure = ExtractFailure::kNone;
  if (side.Open() != 0) {
    unzCloseCurrentFile(uf);
    return ExtractFailure::kWriteFailed;
  }
  const std::uint64_t declared = entry.info.uncompressed_size;
  std::uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    const int n = unzReadCurrentFile(uf, block.data(), static_cast<unsigned>(block.size()));
    if (n < 0) {
      failure = ExtractFailure::kBadData;
      break;
    }
    if (n == 0) break;
    written += static_cast<std::uint64_t>(n);
    if (written > declared) {  // never write more than the entry announced
      failure = ExtractFailure::kSizeMismatch;
      break;
    }
    crc = crc32(crc, block.data(), static_cast<uInt>(n));
    if (side.file().Write(block.data(), static_cast<size_t>(n)) != 0) {
      failure = ExtractFailure::kWriteFailed;
      break;
    }
  }
  const int close_result = unzCloseCurrentFile(uf);
  if (failure == ExtractFailure::kNone) {
    // The library stops inflating at the declared size; data beyond it shows
    // as a CRC mismatch, data cut short as a size mismatch.
    if (written != declared) {
      failure = ExtractFailure::kSizeMismatch;
    } else if (crc != entry.info.crc || close_result == UNZ_CRCERROR) {
      failure = ExtractFailure::kCrcMismatch;
    } else if (close_result != UNZ_OK) {
      failure = ExtractFailure::kBadData;
    }
  }
  if (failure != ExtractFailure::kNone) return failure;  // the side file goes with `side`
  return CommitEntry(side, entry);
}

#if KESTREL_HAVE_ISAL
// The fast way to extract an entry: its compressed bytes read straight from
// the archive file in large blocks, deflate data inflated by ISA-L, output
// cut off at the declared size. It only ever completes an entry that is
// whole: declared size reached, CRC matching, read, written and renamed
// without error. Anything else (damage, a short stream, a failed write) it
// leaves to ExtractThroughZipLibrary, which extracts the entry again from the
// start and names the failure. State and buffers (up to about 600 KiB) are
// made once per archive, as large as its entries need. Threads: one owner at
// a time.
class FastExtractor {
 public:
  explicit FastExtractor(std::string_view archive_path) : archive_path_(archive_path) {}

  // True when the current entry (stored or deflated, not encrypted) was
  // written to target.
  [[nodiscard]] bool Extract(unzFile uf, const EntryInfo& entry, std::string_view target) {
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(uf, &method, &level, 1) != UNZ_OK) return false;
    const std::uint64_t start = unzGetCurrentFileZStreamPos64(uf);
    unzCloseCurrentFile(uf);
    if (!archive_open_ && archive_.Open(archive_path_, platform::File::kRead) != 0) return false;
    archive_open_ = true;
    if (archive_.Seek(start) != 0) return false;
    left_in_ = entry.info.compressed_size;
    Reserve(in_, left_in_, kInSize);

    platform::SideFile side(target);
    if (side.Open() != 0) return false;
    const bool whole =
        method == Z_DEFLATED ? Inflate(entry, side.file()) : Copy(entry, side.file());
    return whole && CommitEntry(side, entry) == ExtractFailure::kNone;
  }

 private:
  static constexpr size_t kInSize = 256 * 1024;  // a multiple of the zip library's 16 KiB reads

  // Grows buffer to need bytes, at most to limit.
  static void Reserve(std::vector<unsigned char>& buffer, std::uint64_t need, size_t limit) {
    const size_t size = static_cast<size_t>(std::min<std::uint64_t>(need, limit));
    if (buffer.size() < size) buffer.resize(size);
  }

  // Reads the next block of compressed bytes into in_; the count, 0 when
  // there are none left or the archive ends before them.
  size_t ReadIn() {
    const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left_in_, in_.size()));
    size_t got = 0;
    while (got < want) {
      const long n = archive_.Read(in_.data() + got, want - got);
      if (n <= 0) return 0;
      got += static_cast<size_t>(n);
    }
    left_in_ -= want;
    return want;
  }

  // A stored entry: the compressed bytes as they are, up to the declared size.
  bool Copy(const EntryInfo& entry, platform::File& out) {
    output_.Start(out, entry.info.uncompressed_size);
    while (!output_.full()) {
      const size_t n = ReadIn();
      if (n == 0 || CopyInto(std::span(in_.data(), n), output_) == Pour::kWriteFailed) {
        return false;
      }
    }
    return output_.Flush() && output_.crc() == entry.info.crc;
  }

  // A deflated entry: inflated until the declared size is reached. A stream
  // that ends, breaks off or goes wrong before that is left to zlib.
  bool Inflate(const EntryInfo& entry, platform::File& out) {
    output_.Start(out, entry.info.uncompressed_size);
    if (!inflater_.Reset()) return false;
    for (;;) {
      std::span<const unsigned char> in;
      if (left_in_ > 0) {
        const size_t n = ReadIn();
        if (n == 0) return false;
        in = std::span(in_.data(), n);
      }
      const Pour pour = InflateInto(inflater_, in, output_);
      if (pour == Pour::kFull) break;
      // Still short once every byte is in and nothing more comes out.
      if (pour != Pour::kGoing || in.empty()) return false;
    }
    return output_.Flush() && output_.crc() == entry.info.crc;
  }

  std::string archive_path_;
  platform::File archive_;
  bool archive_open_ = false;
  Inflater inflater_;
  EntryOutput output_;
  std::vector<unsigned char> in_;
  std::uint64_t left_in_ = 0;  // compressed bytes of the entry not read yet
};
#endif

// Extraction of the entries of one archive: the buffers every entry uses.
class Extractor {
 public:
  explicit Extractor(std::string_view archive_path)
#if KESTREL_HAVE_ISAL
      : fast_(archive_path)
#endif
  {
    (void)archive_path;
  }

  // Writes the current entry to target (see ExtractEntries).
  ExtractFailure Extract(unzFile uf, const EntryInfo& entry, std::string_view target) {
    if ((entry.info.flag & 1u) != 0) return ExtractFailure::kUnsupportedEntry;
    if (entry.info.compression_method != 0 && entry.info.compression_method != Z_DEFLATED) {
      return ExtractFailure::kUnsupportedEntry;
    }
#if KESTREL_HAVE_ISAL
    if (fast_.Extract(uf, entry, target)) return ExtractFailure::kNone;
#endif
    return ExtractThroughZipLibrary(uf, entry, target, block_);
  }

 private:
#if KESTREL_HAVE_ISAL
  FastExtractor fast_;
#endif
  std::vector<unsigned char> block_ = std::vector<unsigned char>(kBlockSize);
};

}  // namespace

// ---------------------------------------------------------------------------

ZipWriter::~ZipWriter() {
  (void)Close();
}

bool ZipWriter::Create(std::string_view archive_path) {
  (void)Close();
  entries_ = 0;
  const std::string native = platform::NativePath(archive_path);
  zip_ = zipOpen64(native.c_str(), APPEND_STATUS_CREATE);
  return zip_ != nullptr;
}

bool ZipWriter::AddFile(std::string_view entry_name, std::string_view source_path,
                        const std::atomic<bool>* stop) {
  if (zip_ == nullptr) return false;
  platform::File in;
  if (in.Open(source_path, platform::File::kRead) != 0) return false;
  return AddOpenFile(entry_name, in, stop);
}

bool ZipWriter::AddOpenFile(std::string_view entry_name, platform::File& in,
                            const std::atomic<bool>* stop) {
  if (zip_ == nullptr || (stop != nullptr && stop->load())) return false;
  platform::DirEntry status;
  if (in.Status(status) != 0 || status.is_folder) return false;

  zip_fileinfo info{};
  info.dosDate = DosDateTime(status.last_write);
  const int zip64 = StoredBound(status.size) >= 0xffffffffull ? 1 : 0;
  const std::string name(entry_name);
  // The first block decides the level.
  std::vector<unsigned char> block(kBlockSize);
  long n = in.Read(block.data(), block.size());
  const DeflateLevel level = ChooseDeflateLevel(
      std::span<const std::uint8_t>(block.data(), n > 0 ? static_cast<size_t>(n) : 0));
  EntryData data(AsZip(zip_), level);
  // Always deflate, whatever the entry is called.
  if (zipOpenNewFileInZip3_64(AsZip(zip_), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              Z_DEFLATED, level == DeflateLevel::kStored ? 0 : 1,
                              data.raw() ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                              nullptr, 0, zip64) != ZIP_OK) {
    return false;
  }
  ++entries_;
  bool ok = true;
  for (bool first = true;; first = false) {
    if (stop != nullptr && stop->load()) {
      ok = false;
      break;
    }
    if (!first) n = in.Read(block.data(), block.size());
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!data.Write(block.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  if (!data.Close()) ok = false;
  return ok;
}

bool ZipWriter::Close() {
  if (zip_ == nullptr) return false;
  const int result = zipClose(AsZip(zip_), nullptr);
  zip_ = nullptr;
  return result == ZIP_OK;
}

bool PackFile(std::string_view archive_path, std::string_view source_path,
              std::string_view entry_name) {
  platform::RemoveIfExists(archive_path);
  ZipWriter writer;
  if (!writer.Create(archive_path)) return false;
  const bool added = writer.AddFile(entry_name, source_path);
  const bool closed = writer.Close();
  return added && closed;
}

int CountEntries(std::string_view archive_path) {
  UnzHandle uf = OpenUnzip(archive_path);
  if (!uf) return IsEmptyArchive(archive_path) ? 0 : -1;
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(uf.get(), &global) != UNZ_OK) return -1;
  if (global.number_entry > static_cast<ZPOS64_T>(std::numeric_limits<int>::max())) return -1;
  return static_cast<int>(global.number_entry);
}

std::uint64_t ExtractReserve(std::uint64_t declared_bytes) {
  return kReserveFixed + declared_bytes / 100;
}

ExtractResult ExtractEntries(std::string_view archive_path, std::string_view folder,
                             const EntryTarget& target_of, const ExtractLimits& limits) {
  ExtractResult result;
  UnzHandle uf = OpenUnzip(archive_path);
  if (!uf) {
    result.ok = IsEmptyArchive(archive_path);
    if (!result.ok) result.reason = ExtractFailure::kCannotOpen;
    return result;
  }

  // Pass 1: the directory against the limits, and the declared sizes, so
  // that the disk is never filled.
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(uf.get(), &global) != UNZ_OK) {
    result.reason = ExtractFailure::kBadData;
    return result;
  }
  if (global.number_entry > static_cast<ZPOS64_T>(limits.max_entries)) {
    result.reason = ExtractFailure::kTooManyEntries;
    return result;
  }
  std::uint64_t declared = 0;
  int status = unzGoToFirstFile(uf.get());
  while (status == UNZ_OK) {
    EntryInfo entry;
    if (!ReadEntryInfo(uf.get(), entry)) {
      result.reason = ExtractFailure::kBadData;
      return result;
    }
    if (!entry.is_folder) {
      const std::uint64_t size = entry.info.uncompressed_size;
      if (BeyondRatio(size, entry.info.compressed_size)) {
        result.reason = ExtractFailure::kRatio;
        return result;
      }
      declared = size > std::numeric_limits<std::uint64_t>::max() - declared
                     ? std::numeric_limits<std::uint64_t>::max()
                     : declared + size;
    }
    status = unzGoToNextFile(uf.get());
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) {
    result.reason = ExtractFailure::kBadData;
    return result;
  }
  result.reason = CheckRoom(declared, limits, folder);
  if (result.reason != ExtractFailure::kNone) return result;

  // Pass 2: every file entry in archive order onto its target.
  Extractor extractor(archive_path);
  status = unzGoToFirstFile(uf.get());
  while (status == UNZ_OK) {
    EntryInfo entry;
    if (!ReadEntryInfo(uf.get(), entry)) {
      result.reason = ExtractFailure::kBadData;
      return result;
    }
    if (!entry.is_folder) {
      const std::optional<std::string> target = target_of(entry.name);
      if (target) {
        const ExtractFailure failure = extractor.Extract(uf.get(), entry, *target);
        if (failure != ExtractFailure::kNone) {
          result.reason = failure;
          return result;
        }
        ++result.entries;
      }
    }
    status = unzGoToNextFile(uf.get());
  }
  if (status != UNZ_END_OF_LIST_OF_FILE) {
    result.reason = ExtractFailure::kBadData;
    return result;
  }
  result.ok = true;
  return result;
}

ExtractResult ExtractArchive(std::string_view archive_path, std::string_view target_path,
                             const ExtractLimits& limits) {
  const std::string target(target_path);
  return ExtractEntries(
      archive_path, ParentFolder(target_path),
      [&target](std::string_view) { return std::optional<std::string>(target); }, limits);
}

// ---------------------------------------------------------------------------

namespace {

// Head and tail bytes held: a local header with the longest name and extra.
constexpr size_t kHeldMax = kLocalSize + 2 * 0xFFFF;
// Deflate data is inflated in blocks of this size.
constexpr size_t kInBlock = 64 * 1024;
// A data descriptor: signature, CRC, two sizes of 8 bytes (zip64) at most.
constexpr size_t kDescriptorMax = 24;
// Output of data whose size is not known before grows by at most this much
// after each look at the free space.
constexpr std::uint64_t kSpaceStep = 64ull * 1024 * 1024;
// Tail bytes taken beyond the entry's name: its directory entry with the
// longest extra field and comment, the zip64 end records, the end record with
// the longest comment.
constexpr size_t kTailMax =
    kCentralSize + 3 * 0xFFFF + kZip64EndSize + kZip64LocatorSize + kEndSize;

// Reads the next 8-byte zip64 value for a field that holds the marker; the
// field itself otherwise. False when the zip64 field is too short.
bool Widen(std::uint64_t& value, std::uint64_t marker, std::span<const unsigned char> zip64,
           size_t& at) {
  if (value != marker) return true;
  if (at + 8 > zip64.size()) return false;
  value = Little(zip64, at, 8);
  at += 8;
  return true;
}

}  // namespace

// Threads: one owner at a time, like its StreamExtractor.
class StreamExtractor::State {
 public:
  State(std::string_view target, const ExtractLimits& limits) : target_(target), limits_(limits) {
    held_.reserve(kHeldMax);
  }

  bool Feed(std::span<const unsigned char> bytes) {
    while (!bytes.empty()) {
      switch (phase_) {
        case Phase::kHead:
          bytes = TakeHead(bytes);
          break;
        case Phase::kData:
          bytes = described_ ? TakeDescribedData(bytes) : TakeData(bytes);
          break;
        case Phase::kTail:
          if (held_.size() + bytes.size() > tail_max_) return Fail(ExtractFailure::kBadData);
          held_.insert(held_.end(), bytes.begin(), bytes.end());
          return true;
        case Phase::kDeclined:
        case Phase::kFailed:
          return false;
      }
    }
    return phase_ != Phase::kFailed && phase_ != Phase::kDeclined;
  }

  bool declined() const { return phase_ == Phase::kDeclined; }
  std::span<const unsigned char> held() const {
    return declined() ? std::span<const unsigned char>(held_) : std::span<const unsigned char>();
  }

  ExtractResult Finish() {
    if (phase_ == Phase::kData && described_) (void)InflateDescribed();  // the last block
    ExtractResult result;
    result.reason = Check();
    if (result.reason == ExtractFailure::kNone) {
      result.reason = CommitEntry(*side_, dos_date_,
                                  std::span(held_).subspan(central_extra_at_, central_extra_size_));
    }
    side_.reset();
    phase_ = Phase::kFailed;
    result.ok = result.reason == ExtractFailure::kNone;
    result.entries = result.ok ? 1 : 0;
    return result;
  }

 private:
  enum class Phase { kHead, kData, kTail, kDeclined, kFailed };

  bool Fail(ExtractFailure reason) {
    failure_ = reason;
    phase_ = Phase::kFailed;
    side_.reset();
    return false;
  }

  // Collects the local header, deciding at its signature, at its fixed
  // part and once it is whole. Returns the bytes not taken.
  std::span<const unsigned char> TakeHead(std::span<const unsigned char> bytes) {
    for (;;) {
      const size_t need =
          head_stage_ == 0 ? 4
          : head_stage_ == 1
              ? kLocalSize
              : kLocalSize + static_cast<size_t>(Little(held_, 26, 2) + Little(held_, 28, 2));
      const size_t n = std::min(need - held_.size(), bytes.size());
      held_.insert(held_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      bytes = bytes.subspan(n);
      if (held_.size() < need) return bytes;
      if (head_stage_ == 0) {
        if (Little(held_, 0, 4) != kLocalSignature) return Decline(bytes);
      } else if (head_stage_ == 1) {
        const auto flags = static_cast<unsigned>(Little(held_, 6, 2));
        method_ = static_cast<int>(Little(held_, 8, 2));
        if ((flags & kEncryptedFlag) != 0) {
          Fail(ExtractFailure::kUnsupportedEntry);
          return {};
        }
        // Described data is taken when it is deflated: its stream ends by itself.
        described_ = (flags & kDataDescriptorFlag) != 0;
        if (method_ != Z_DEFLATED && (described_ || method_ != 0)) return Decline(bytes);
      } else {
        if (StartData()) return bytes;
        return declined() ? Decline(bytes) : std::span<const unsigned char>();
      }
      ++head_stage_;
    }
  }

  // Keeps the rest of the bytes with the head, for the caller's file.
  std::span<const unsigned char> Decline(std::span<const unsigned char> bytes) {
    phase_ = Phase::kDeclined;
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    return {};
  }

  // The whole local header is held: its sizes, the checks, the side file.
  // False when declined or failed.
  bool StartData() {
    crc_ = static_cast<std::uint32_t>(Little(held_, 14, 4));
    const size_t name_size = static_cast<size_t>(Little(held_, 26, 2));
    name_.assign(held_.begin() + kLocalSize, held_.begin() + kLocalSize + name_size);
    const std::optional<EntrySizes> sizes = LocalHeaderSizes(held_);
    if (!sizes) {
      phase_ = Phase::kDeclined;
      return false;
    }
    compressed_ = sizes->packed;
    size_ = sizes->plain;
    if (described_ && (crc_ != 0 || size_ != 0 || compressed_ != 0)) {
      phase_ = Phase::kDeclined;  // not the shape a streaming writer gives
      return false;
    }
    if (!name_.empty() && (name_.back() == '/' || name_.back() == '\\') && size_ == 0) {
      phase_ = Phase::kDeclined;  // a folder entry: no file in this archive
      return false;
    }
    data_start_ = held_.size();
    data_end_ = data_start_ + compressed_;
    zip64_ = !Zip64Field(std::span(held_).subspan(kLocalSize + name_size)).empty();
    if (limits_.max_entries < 1) return Fail(ExtractFailure::kTooManyEntries);
    if (BeyondRatio(size_, compressed_)) return Fail(ExtractFailure::kRatio);
    std::uint64_t allowed = size_;
    const ExtractFailure room =
        described_ ? NextStep(0, allowed) : CheckRoom(size_, limits_, ParentFolder(target_));
    if (room != ExtractFailure::kNone) return Fail(room);
    side_.emplace(target_);
    if (side_->Open() != 0) return Fail(ExtractFailure::kWriteFailed);
    output_.Start(side_->file(), allowed);
    if (method_ == Z_DEFLATED) {
      if (!inflater_.Reset()) return Fail(ExtractFailure::kBadData);
      in_.resize(described_ ? kInBlock
                            : static_cast<size_t>(std::min<std::uint64_t>(compressed_, kInBlock)));
    }
    left_ = compressed_;
    tail_max_ = kTailMax + name_.size() + (described_ ? kDescriptorMax : 0);
    held_.clear();
    phase_ = Phase::kData;
    if (left_ == 0 && !described_) EndData();
    return true;
  }

  // Described data: how far the output may grow from produced bytes on, for
  // one step, checked against the limit and the free space. Sets allowed.
  ExtractFailure NextStep(std::uint64_t produced, std::uint64_t& allowed) const {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (produced > limits_.max_total_bytes) return ExtractFailure::kTooLarge;
    // One byte past the limit shows that the data goes beyond it; it is
    // never written.
    const std::uint64_t bound =
        limits_.max_total_bytes == kMax ? kMax : limits_.max_total_bytes + 1;
    const std::uint64_t step = std::min(kSpaceStep, bound - produced);
    if (!LeavesReserve(ParentFolder(target_), step, produced + step)) {
      return ExtractFailure::kNoSpace;
    }
    allowed = produced + step;
    return ExtractFailure::kNone;
  }

  // Described data, gathered into blocks like the rest; the bytes after its
  // stream's end are returned for the tail.
  std::span<const unsigned char> TakeDescribedData(std::span<const unsigned char> bytes) {
    while (!bytes.empty() && phase_ == Phase::kData) {
      const size_t take = std::min(in_.size() - in_held_, bytes.size());
      std::memcpy(in_.data() + in_held_, bytes.data(), take);
      in_held_ += take;
      packed_ += take;
      bytes = bytes.subspan(take);
      if (in_held_ == in_.size() && !InflateDescribed()) return {};
    }
    return bytes;
  }

  // Inflates the described data gathered, a step further each time the
  // output reaches what was allowed. At the stream's end the bytes after it
  // begin the tail. False (and failed) on bad data, a failed write or no room.
  bool InflateDescribed() {
    std::span<const unsigned char> in(in_.data(), in_held_);
    in_held_ = 0;
    for (;;) {
      const Pour pour = InflateInto(inflater_, in, output_, &in);
      if (pour == Pour::kBad) return Fail(ExtractFailure::kBadData);
      if (pour == Pour::kWriteFailed) return Fail(ExtractFailure::kWriteFailed);
      if (inflater_.ended()) break;
      if (pour != Pour::kFull) return true;
      std::uint64_t allowed = 0;
      const ExtractFailure room = NextStep(output_.produced(), allowed);
      if (room != ExtractFailure::kNone) return Fail(room);
      output_.Allow(allowed);
    }
    // The byte past the limit may have been the last one: never written.
    if (output_.produced() > limits_.max_total_bytes) return Fail(ExtractFailure::kTooLarge);
    const std::span<const unsigned char> ahead = inflater_.ReadAhead();
    held_.assign(ahead.begin(), ahead.end());
    held_.insert(held_.end(), in.begin(), in.end());
    packed_ -= held_.size();
    phase_ = Phase::kTail;
    return true;
  }

  std::span<const unsigned char> TakeData(std::span<const unsigned char> bytes) {
    const size_t n = static_cast<size_t>(std::min<std::uint64_t>(left_, bytes.size()));
    const std::span<const unsigned char> data = bytes.first(n);
    left_ -= n;
    if (method_ != Z_DEFLATED) {
      if (!ended_ && !Poured(CopyInto(data, output_))) return {};
    } else {
      // Deflate data is gathered into blocks: inflating each small piece
      // costs more than copying it.
      for (std::span<const unsigned char> rest = data; !rest.empty() && !ended_;) {
        const size_t take = std::min(in_.size() - in_held_, rest.size());
        std::memcpy(in_.data() + in_held_, rest.data(), take);
        in_held_ += take;
        rest = rest.subspan(take);
        if ((in_held_ == in_.size() || left_ == 0) && !InflateHeld()) return {};
      }
    }
    if (left_ == 0) EndData();
    return bytes.subspan(n);
  }

  bool InflateHeld() {
    const size_t n = in_held_;
    in_held_ = 0;
    return Poured(InflateInto(inflater_, std::span(in_.data(), n), output_));
  }

  // After the entry's last compressed byte: what the inflater still holds.
  // A deflate stream that has not ended there is cut short.
  void EndData() {
    if (!ended_ && method_ == Z_DEFLATED) {
      const Pour pour = InflateInto(inflater_, {}, output_);
      if (!Poured(pour)) return;
      cut_ = pour == Pour::kGoing;
    }
    phase_ = Phase::kTail;
  }

  // False (and failed) on bad data or a failed write. Output beyond the
  // declared size, or after the stream's end, is not taken.
  bool Poured(Pour pour) {
    if (pour == Pour::kBad) return Fail(ExtractFailure::kBadData);
    if (pour == Pour::kWriteFailed) return Fail(ExtractFailure::kWriteFailed);
    if (pour == Pour::kFull || pour == Pour::kEnded) ended_ = true;
    return true;
  }

  // Everything after the last byte, before the commit.
  ExtractFailure Check() {
    if (phase_ == Phase::kFailed) return failure_;
    if (phase_ != Phase::kTail) return ExtractFailure::kCannotOpen;  // cut short, or declined
    const ExtractFailure tail = CheckTail();
    if (tail != ExtractFailure::kNone) return tail;
    if (!output_.Flush()) return ExtractFailure::kWriteFailed;
    if (described_) return CheckDescribed();
    if (cut_) return ExtractFailure::kBadData;
    if (output_.produced() != size_) return ExtractFailure::kSizeMismatch;
    if (output_.crc() != crc_) return ExtractFailure::kCrcMismatch;
    return ExtractFailure::kNone;
  }

  // Described data against its directory entry, faults in the order the
  // archive file's extraction meets them, then the descriptor against both.
  ExtractFailure CheckDescribed() const {
    if (BeyondRatio(size_, compressed_)) return ExtractFailure::kRatio;
    if (size_ > limits_.max_total_bytes) return ExtractFailure::kTooLarge;
    if (compressed_ < packed_) return ExtractFailure::kBadData;  // ends inside the stream
    if (output_.produced() < size_) return ExtractFailure::kSizeMismatch;
    if (output_.produced() > size_ || output_.crc() != crc_) return ExtractFailure::kCrcMismatch;
    if (compressed_ != packed_ || descriptor_crc_ != crc_ || descriptor_.packed != packed_ ||
        descriptor_.plain != size_) {
      return ExtractFailure::kBadData;
    }
    return ExtractFailure::kNone;
  }

  // The data descriptor at the start of the tail, with or without its
  // signature: the central directory follows it. Its length, 0 when there
  // is none.
  size_t TakeDescriptor() {
    const std::span<const unsigned char> tail(held_);
    const size_t width = zip64_ ? 8 : 4;
    for (const size_t at : {size_t{4}, size_t{0}}) {
      const size_t end = at + 4 + 2 * width;
      if (at > 0 && (tail.size() < 4 || Little(tail, 0, 4) != kDescriptorSignature)) continue;
      if (end + 4 > tail.size() || Little(tail, end, 4) != kCentralSignature) continue;
      descriptor_crc_ = static_cast<std::uint32_t>(Little(tail, at, 4));
      descriptor_ = {Little(tail, at + 4, width), Little(tail, at + 4 + width, width)};
      return end;
    }
    return 0;
  }

  // The data descriptor of described data, then the central directory: one
  // entry agreeing with the local header (described: giving the CRC and
  // sizes), then the end records, ending exactly with the archive.
  ExtractFailure CheckTail() {
    bool has_end = false;
    for (size_t at = held_.size() >= kEndSize ? held_.size() - kEndSize + 1 : 0; at-- > 0;) {
      if (Little(held_, at, 4) == kEndSignature) {
        has_end = true;
        break;
      }
    }
    if (!has_end) return ExtractFailure::kCannotOpen;
    size_t from = 0;
    if (described_) {
      from = TakeDescriptor();
      if (from == 0) return ExtractFailure::kBadData;
      data_end_ = data_start_ + packed_ + from;
    }
    const std::span<const unsigned char> tail = std::span(held_).subspan(from);
    if (tail.size() < kCentralSize || Little(tail, 0, 4) != kCentralSignature) {
      return ExtractFailure::kBadData;
    }
    const size_t name_size = static_cast<size_t>(Little(tail, 28, 2));
    const size_t extra_size = static_cast<size_t>(Little(tail, 30, 2));
    const size_t central_size =
        kCentralSize + name_size + extra_size + static_cast<size_t>(Little(tail, 32, 2));
    if (central_size > tail.size()) return ExtractFailure::kBadData;
    std::uint64_t size = Little(tail, 24, 4);
    std::uint64_t compressed = Little(tail, 20, 4);
    std::uint64_t offset = Little(tail, 42, 4);
    std::uint64_t disk = Little(tail, 34, 2);
    const std::span<const unsigned char> zip64 =
        Zip64Field(tail.subspan(kCentralSize + name_size, extra_size));
    size_t at = 0;
    if (!Widen(size, kZip64Marker, zip64, at) || !Widen(compressed, kZip64Marker, zip64, at) ||
        !Widen(offset, kZip64Marker, zip64, at)) {
      return ExtractFailure::kBadData;
    }
    const bool same_name =
        std::equal(name_.begin(), name_.end(), tail.begin() + kCentralSize,
                   tail.begin() + static_cast<std::ptrdiff_t>(kCentralSize + name_size)) &&
        name_.size() == name_size;
    if (!same_name || Little(tail, 10, 2) != static_cast<std::uint64_t>(method_) || offset != 0 ||
        disk != 0) {
      return ExtractFailure::kBadData;
    }
    if (described_) {  // the values the archive file's extraction checks the data against
      crc_ = static_cast<std::uint32_t>(Little(tail, 16, 4));
      size_ = size;
      compressed_ = compressed;
    } else if (Little(tail, 16, 4) != crc_ || size != size_ || compressed != compressed_) {
      return ExtractFailure::kBadData;
    }
    dos_date_ = static_cast<std::uint32_t>(Little(tail, 12, 4));
    central_extra_at_ = from + kCentralSize + name_size;
    central_extra_size_ = extra_size;

    // Optional zip64 end record and locator, then the end record.
    size_t pos = central_size;
    std::uint64_t z64_entries = 0, z64_size = 0, z64_offset = 0;
    bool has_zip64 = false;
    if (pos + 4 <= tail.size() && Little(tail, pos, 4) == kZip64EndSignature) {
      if (pos + kZip64EndSize > tail.size()) return ExtractFailure::kBadData;
      const std::uint64_t record = Little(tail, pos + 4, 8) + 12;
      if (record < kZip64EndSize || record > tail.size() - pos) return ExtractFailure::kBadData;
      z64_entries = Little(tail, pos + 32, 8);
      z64_size = Little(tail, pos + 40, 8);
      z64_offset = Little(tail, pos + 48, 8);
      if (Little(tail, pos + 24, 8) != 1 || z64_entries != 1 || z64_size != central_size ||
          z64_offset != data_end_) {
        return ExtractFailure::kBadData;
      }
      const size_t locator = pos + static_cast<size_t>(record);
      if (locator + kZip64LocatorSize > tail.size() ||
          Little(tail, locator, 4) != kZip64LocatorSignature ||
          Little(tail, locator + 8, 8) != data_end_ + central_size) {
        return ExtractFailure::kBadData;
      }
      pos = locator + kZip64LocatorSize;
      has_zip64 = true;
    }
    if (pos + kEndSize > tail.size() || Little(tail, pos, 4) != kEndSignature) {
      return ExtractFailure::kBadData;
    }
    std::uint64_t entries = Little(tail, pos + 10, 2);
    std::uint64_t directory_size = Little(tail, pos + 12, 4);
    std::uint64_t directory_at = Little(tail, pos + 16, 4);
    if (has_zip64) {
      if (entries == 0xFFFF) entries = z64_entries;
      if (directory_size == kZip64Marker) directory_size = z64_size;
      if (directory_at == kZip64Marker) directory_at = z64_offset;
    }
    if (Little(tail, pos + 4, 2) != 0 || Little(tail, pos + 6, 2) != 0 ||
        Little(tail, pos + 8, 2) != Little(tail, pos + 10, 2) || entries != 1 ||
        directory_size != central_size || directory_at != data_end_ ||
        pos + kEndSize + Little(tail, pos + 20, 2) != tail.size()) {
      return ExtractFailure::kBadData;
    }
    return ExtractFailure::kNone;
  }

  const std::string target_;
  const ExtractLimits limits_;
  Phase phase_ = Phase::kHead;
  int head_stage_ = 0;  // 0: signature, 1: fixed part, 2: name and extra
  ExtractFailure failure_ = ExtractFailure::kNone;
  std::vector<unsigned char> held_;  // the local header, then the tail (bounded)
  // From the local header.
  std::string name_;
  int method_ = 0;
  std::uint32_t crc_ = 0;
  std::uint64_t compressed_ = 0;
  std::uint64_t size_ = 0;
  bool described_ = false;        // CRC and sizes in a data descriptor after the data
  bool zip64_ = false;            // a zip64 field: the descriptor's sizes take 8 bytes
  std::uint64_t data_start_ = 0;  // archive offset of the data
  std::uint64_t data_end_ = 0;    // archive offset of the central directory
  size_t tail_max_ = 0;
  // While the data arrives.
  std::optional<platform::SideFile> side_;
  Inflater inflater_;
  EntryOutput output_;
  std::vector<unsigned char> in_;  // deflate data gathered for the inflater
  size_t in_held_ = 0;
  std::uint64_t left_ = 0;    // compressed bytes still to come
  bool ended_ = false;        // declared size reached or stream ended: the rest is not inflated
  bool cut_ = false;          // the data ended inside the deflate stream
  std::uint64_t packed_ = 0;  // described: deflate bytes taken (once ended: the data's length)
  // From the data descriptor.
  std::uint32_t descriptor_crc_ = 0;
  EntrySizes descriptor_;
  // From the central directory.
  std::uint32_t dos_date_ = 0;
  size_t central_extra_at_ = 0;
  size_t central_extra_size_ = 0;
};

StreamExtractor::StreamExtractor(std::string_view target_path, const ExtractLimits& limits)
    : state_(std::make_unique<State>(target_path, limits)) {}

StreamExtractor::~StreamExtractor() = default;

bool StreamExtractor::Feed(std::span<const std::uint8_t> bytes) {
  return state_->Feed(bytes);
}

bool StreamExtractor::declined() const {
  return state_->declined();
}

std::span<const std::uint8_t> StreamExtractor::held() const {
  return state_->held();
}

ExtractResult StreamExtractor::Finish() {
  return state_->Finish();
}

}  // namespace kestrel
