#include "support/ZipArchive.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#if KESTREL_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <atomic>
#include <ctime>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/SideFile.h"

namespace kestrel {

namespace {

constexpr size_t kBlockSize = 64 * 1024;
// Packing levels: deflate's stored blocks for data that does not shrink
// (still method 8, so every reader takes it), the fastest real level else.
constexpr int kStoredLevel = 0;
constexpr int kFastLevel = 1;
// A first block that the fast level packs to more than this share of its
// size is taken as incompressible (photos, archives, media, ciphertext).
constexpr double kIncompressibleShare = 0.9;

// The level for a file whose first block is sample.
int PackingLevel(const unsigned char* sample, size_t size) {
  if (size == 0) return kFastLevel;
  z_stream z{};
  if (deflateInit2(&z, kFastLevel, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return kFastLevel;
  }
  std::vector<unsigned char> out(deflateBound(&z, static_cast<uLong>(size)));
  z.next_in = const_cast<unsigned char*>(sample);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&z, Z_FINISH);
  const size_t packed = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) return kFastLevel;
  return static_cast<double>(packed) > kIncompressibleShare * static_cast<double>(size)
             ? kStoredLevel
             : kFastLevel;
}
constexpr std::uint64_t kReserveFixed = 64ull * 1024 * 1024;

#if KESTREL_HAVE_ISAL
// Raw deflate (no header or trailer) at igzip's fastest level: the same
// format as zlib's level 1, several times faster. State and buffers are fixed
// (about 400 KiB), whatever the data's size. Threads: one owner at a time.
class IgzipDeflater {
 public:
  IgzipDeflater() : stream_(std::make_unique<isal_zstream>()), level_buf_(ISAL_DEF_LVL1_DEFAULT) {
    isal_deflate_init(stream_.get());
    stream_->level = 1;
    stream_->level_buf = level_buf_.data();
    stream_->level_buf_size = static_cast<std::uint32_t>(level_buf_.size());
    stream_->gzip_flag = IGZIP_DEFLATE;
  }

  // Deflates size bytes of data (last: they end the stream) and hands every
  // piece of output to sink(bytes, count), which returns false on failure.
  // False when igzip or the sink fails.
  template <typename Sink>
  [[nodiscard]] bool Deflate(const unsigned char* data, size_t size, bool last, Sink&& sink) {
    stream_->next_in = const_cast<std::uint8_t*>(data);
    stream_->avail_in = static_cast<std::uint32_t>(size);
    stream_->end_of_stream = last ? 1 : 0;
    do {
      stream_->next_out = out_.data();
      stream_->avail_out = static_cast<std::uint32_t>(out_.size());
      if (isal_deflate(stream_.get()) != COMP_OK) return false;
      const size_t produced = out_.size() - stream_->avail_out;
      if (produced > 0 && !sink(out_.data(), produced)) return false;
    } while (stream_->avail_in > 0 || (last && stream_->internal_state.state != ZSTATE_END));
    return true;
  }

 private:
  std::unique_ptr<isal_zstream> stream_;  // large: kept off the stack
  std::vector<std::uint8_t> level_buf_;
  std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(kBlockSize);
};
#endif

// Deflate's stored blocks carry five bytes of framing per 65535 bytes.
constexpr size_t kStoredBlockMax = 0xFFFF;
constexpr size_t kStoredHeader = 5;

// Bytes of deflate data a file of size bytes takes in stored blocks, the
// most any level gives (the final empty block included).
std::uint64_t StoredBound(std::uint64_t size) {
  return size + (size / kStoredBlockMax + 2) * kStoredHeader;
}

// Writes the data of one open entry and closes it. Entries at the fast level
// are deflated here by igzip when it is built in and go to the zip library
// raw, with the CRC and size their headers need; every other entry (and all
// of them without igzip) is deflated by the zip library with zlib.
// Threads: one owner at a time.
class EntryData {
 public:
  EntryData(zipFile zip, int level) : zip_(zip) {
#if KESTREL_HAVE_ISAL
    if (level == kFastLevel) deflater_ = std::make_unique<IgzipDeflater>();
#else
    (void)level;
#endif
  }
  // Whether the zip library must take the entry's data as already deflated.
  bool raw() const {
#if KESTREL_HAVE_ISAL
    return deflater_ != nullptr;
#else
    return false;
#endif
  }

  [[nodiscard]] bool Write(const unsigned char* data, size_t size) {
#if KESTREL_HAVE_ISAL
    if (deflater_) {
      crc_ = crc32_gzip_refl(crc_, data, size);
      size_ += size;
      return deflater_->Deflate(data, size, false, RawSink{zip_});
    }
#endif
    return zipWriteInFileInZip(zip_, data, static_cast<unsigned>(size)) == ZIP_OK;
  }

  // Ends the entry's deflate stream and closes the entry; an entry cut short
  // is still a valid entry of the bytes written so far.
  [[nodiscard]] bool Close() {
#if KESTREL_HAVE_ISAL
    if (deflater_) {
      const bool ended = deflater_->Deflate(nullptr, 0, true, RawSink{zip_});
      const bool closed = zipCloseFileInZipRaw64(zip_, size_, crc_) == ZIP_OK;
      return ended && closed;
    }
#endif
    return zipCloseFileInZip(zip_) == ZIP_OK;
  }

 private:
#if KESTREL_HAVE_ISAL
  // Hands deflated bytes to the zip library as they are.
  struct RawSink {
    zipFile zip;
    bool operator()(const std::uint8_t* bytes, size_t count) const {
      return zipWriteInFileInZip(zip, bytes, static_cast<unsigned>(count)) == ZIP_OK;
    }
  };
  std::unique_ptr<IgzipDeflater> deflater_;  // fast-level entries only
  std::uint32_t crc_ = 0;                    // of the bytes written so far
  std::uint64_t size_ = 0;
#endif
  zipFile zip_;  // borrowed
};

zipFile AsZip(void* handle) {
  return static_cast<zipFile>(handle);
}

// DOS date of a file time, in local time as zip tools store it. Times before
// 1980 (the format's first year) become 1 January 1980.
tm_zip DosTime(platform::FileTime time) {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  platform::UnixFromFileTime(time, seconds, nanoseconds);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  tm_zip out{0, 0, 0, 1, 0, 1980};
  if (localtime_r(&t, &local) == nullptr || local.tm_year + 1900 < 1980) return out;
  out.tm_sec = static_cast<uInt>(local.tm_sec);
  out.tm_min = static_cast<uInt>(local.tm_min);
  out.tm_hour = static_cast<uInt>(local.tm_hour);
  out.tm_mday = static_cast<uInt>(local.tm_mday);
  out.tm_mon = static_cast<uInt>(local.tm_mon);
  out.tm_year = static_cast<uInt>(local.tm_year + 1900);
  return out;
}

// The entry's modification time: the extended timestamp field (UTC seconds)
// when present, else the DOS date read as local time. 0 when there is none.
platform::FileTime EntryTime(const unz_file_info64& info, const std::vector<unsigned char>& extra) {
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
  if (info.dosDate == 0) return 0;
  std::tm local{};
  local.tm_sec = static_cast<int>(info.tmu_date.tm_sec);
  local.tm_min = static_cast<int>(info.tmu_date.tm_min);
  local.tm_hour = static_cast<int>(info.tmu_date.tm_hour);
  local.tm_mday = static_cast<int>(info.tmu_date.tm_mday);
  local.tm_mon = static_cast<int>(info.tmu_date.tm_mon);
  local.tm_year = static_cast<int>(info.tmu_date.tm_year) - 1900;
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
  constexpr size_t kEndRecord = 22;
  std::vector<unsigned char> bytes(kEndRecord + 0xFFFF + 1);
  size_t size = 0;
  while (size < bytes.size()) {
    const long n = in.Read(bytes.data() + size, bytes.size() - size);
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  if (size < kEndRecord || size > kEndRecord + 0xFFFF) return false;
  auto u16 = [&](size_t at) { return static_cast<unsigned>(bytes[at] | bytes[at + 1] << 8); };
  const bool signature =
      bytes[0] == 0x50 && bytes[1] == 0x4B && bytes[2] == 0x05 && bytes[3] == 0x06;
  bool zeros = true;
  for (size_t at = 4; at < 20; ++at) zeros = zeros && bytes[at] == 0;
  return signature && zeros && u16(20) == size - kEndRecord;
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
ExtractFailure CommitEntry(platform::SideFile& side, const EntryInfo& entry) {
  if (side.file().Flush() != 0) return ExtractFailure::kWriteFailed;
  const platform::FileTime time = EntryTime(entry.info, entry.extra);
  if (time != 0)
    (void)platform::SetLastWriteTime(side.path(), time);  // a time that cannot be set is no loss
  return side.Commit() == 0 ? ExtractFailure::kNone : ExtractFailure::kWriteFailed;
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
  // Bounds memory per extraction (with the inflate state, about 600 KiB):
  // servers extract many uploads at once.
  static constexpr size_t kOutSize = 256 * 1024;

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

  bool Emit(const unsigned char* data, size_t size, platform::File& out) {
    crc_ = crc32_gzip_refl(crc_, data, size);
    written_ += size;
    return out.Write(data, size) == 0;
  }

  // A stored entry: the compressed bytes as they are, up to the declared size.
  bool Copy(const EntryInfo& entry, platform::File& out) {
    const std::uint64_t declared = entry.info.uncompressed_size;
    crc_ = 0;
    written_ = 0;
    while (written_ < declared) {
      const size_t n = ReadIn();
      if (n == 0) return false;
      const size_t take = static_cast<size_t>(std::min<std::uint64_t>(n, declared - written_));
      if (!Emit(in_.data(), take, out)) return false;
    }
    return crc_ == entry.info.crc;
  }

  // A deflated entry: inflated until the declared size is reached. A stream
  // that ends, breaks off or goes wrong before that is left to zlib.
  bool Inflate(const EntryInfo& entry, platform::File& out) {
    const std::uint64_t declared = entry.info.uncompressed_size;
    Reserve(out_, declared, kOutSize);
    // Set up by isal_inflate_init, whatever it held before.
    if (!state_) state_ = std::make_unique_for_overwrite<inflate_state>();
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_DEFLATE;
    crc_ = 0;
    written_ = 0;
    while (written_ < declared) {
      if (state_->avail_in == 0 && left_in_ > 0) {
        const size_t n = ReadIn();
        if (n == 0) return false;
        state_->next_in = in_.data();
        state_->avail_in = static_cast<std::uint32_t>(n);
      }
      const std::uint32_t avail_in = state_->avail_in;
      const auto room =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(out_.size(), declared - written_));
      state_->next_out = out_.data();
      state_->avail_out = room;
      if (isal_inflate(state_.get()) != ISAL_DECOMP_OK) return false;
      const size_t produced = room - state_->avail_out;
      if (produced == 0 && state_->avail_in == avail_in) return false;  // ended or cut short
      if (!Emit(out_.data(), produced, out)) return false;
    }
    return crc_ == entry.info.crc;
  }

  std::string archive_path_;
  platform::File archive_;
  bool archive_open_ = false;
  std::unique_ptr<inflate_state> state_;  // large (about 90 KiB): made at the first deflated entry
  std::vector<unsigned char> in_;
  std::vector<unsigned char> out_;
  std::uint64_t left_in_ = 0;  // compressed bytes of the entry not read yet
  std::uint32_t crc_ = 0;      // of the entry's bytes written so far
  std::uint64_t written_ = 0;
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
  info.tmz_date = DosTime(status.last_write);
  const int zip64 = StoredBound(status.size) >= 0xffffffffull ? 1 : 0;
  const std::string name(entry_name);
  // The first block decides the level.
  std::vector<unsigned char> block(kBlockSize);
  long n = in.Read(block.data(), block.size());
  const int level = PackingLevel(block.data(), n > 0 ? static_cast<size_t>(n) : 0);
  EntryData data(AsZip(zip_), level);
  // Always deflate, whatever the entry is called.
  if (zipOpenNewFileInZip3_64(AsZip(zip_), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                              Z_DEFLATED, level, data.raw() ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL,
                              Z_DEFAULT_STRATEGY, nullptr, 0, zip64) != ZIP_OK) {
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
      if (size / kMaxDeflateRatio > entry.info.compressed_size ||
          (size > 0 && entry.info.compressed_size == 0)) {
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
  if (declared > limits.max_total_bytes) {
    result.reason = ExtractFailure::kTooLarge;
    return result;
  }
  if (declared > 0) {
    const std::optional<std::uint64_t> free = platform::FreeSpace(folder);
    const std::uint64_t reserve = ExtractReserve(declared);
    if (free && (declared > *free || *free - declared < reserve)) {
      result.reason = ExtractFailure::kNoSpace;
      return result;
    }
  }

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

}  // namespace kestrel
