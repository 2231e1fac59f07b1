#include "support/StreamingPacker.h"

#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "support/RawDeflate.h"
#include "support/ZipLayout.h"

namespace kestrel {
namespace {

using namespace zip_layout;

constexpr std::size_t kPiece = 256 * 1024;       // read, and packed at once
constexpr std::size_t kWriteBlock = 256 * 1024;  // published to the reader once written
// A reader this close behind the packer gets stored pieces.
constexpr std::uint64_t kCloseBehind = 1 << 20;
constexpr std::uint64_t kNoZip64Limit = 0xFFFFFFFFull;
constexpr unsigned kVersion = 20;       // deflate
constexpr unsigned kVersionZip64 = 45;  // zip64 fields

// Little-endian fields appended to a record.
class Record {
 public:
  Record& Put(std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  Record& Put(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The archive file, written in blocks; each block written is published.
class ArchiveOut {
 public:
  ArchiveOut(platform::File& file, const std::function<void(std::uint64_t)>& publish)
      : file_(file), publish_(publish) {
    block_.reserve(kWriteBlock);
  }
  [[nodiscard]] bool Put(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const std::size_t n = std::min(bytes.size(), kWriteBlock - block_.size());
      block_.insert(block_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
      bytes = bytes.subspan(n);
      if (block_.size() == kWriteBlock && !Flush()) return false;
    }
    return true;
  }
  [[nodiscard]] bool Flush() {
    if (block_.empty()) return true;
    if (file_.Write(block_.data(), block_.size()) != 0) return false;
    written_ += block_.size();
    block_.clear();
    publish_(written_);
    return true;
  }
  std::uint64_t offset() const { return written_ + block_.size(); }

 private:
  platform::File& file_;
  const std::function<void(std::uint64_t)>& publish_;
  std::vector<std::uint8_t> block_;
  std::uint64_t written_ = 0;
};

// What the packing thread asks of its owner between pieces.
struct PackingChecks {
  std::function<bool()> should_stop;
  // The reader is close behind the archive's `written` bytes (a reader that
  // waits has asked for more than is written).
  std::function<bool(std::uint64_t written)> reader_close;
};

// What the entry's records need of its data.
struct EntryTotals {
  std::uint32_t crc = 0;
  std::uint64_t plain = 0;
  void Add(std::span<const std::uint8_t> data) {
    crc = ZipCrc32(crc, data);
    plain += data.size();
  }
};

// Reads until buffer is full or the file ends; the count, or -1.
long ReadFull(platform::File& in, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const long n = in.Read(buffer.data() + done, buffer.size() - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

// One deflater, block after block (stored blocks: copying keeps up).
bool PackInOrder(platform::File& in, std::vector<std::uint8_t>& block, std::size_t first,
                 DeflateLevel level, ArchiveOut& out, EntryTotals& entry,
                 const PackingChecks& checks) {
  RawDeflater deflater(level);
  const RawDeflater::Sink sink = [&out](std::span<const std::uint8_t> bytes) {
    return out.Put(bytes);
  };
  for (long n = static_cast<long>(first); n != 0; n = in.Read(block.data(), block.size())) {
    if (n < 0 || checks.should_stop()) return false;
    const std::span<const std::uint8_t> data(block.data(), static_cast<std::size_t>(n));
    entry.Add(data);
    if (!deflater.Deflate(data, false, sink)) return false;
  }
  return deflater.Deflate({}, true, sink);
}

// The fast level on two cores: pieces are packed two at a time, one on a
// helper thread, each primed with the data before it. Where the archive is
// read faster than it is packed (a link faster than the deflater, or both
// ends on one busy machine), the reader stays close behind, and pairs go out
// in stored blocks while it does: copying keeps up where packing does not.
// The next packed pair is primed as usual.
bool PackInPairs(platform::File& in, std::span<const std::uint8_t> first, ArchiveOut& out,
                 EntryTotals& entry, const PackingChecks& checks) {
  const RawDeflater::Sink put = [&out](std::span<const std::uint8_t> bytes) {
    return out.Put(bytes);
  };
  std::vector<std::uint8_t> a(kPiece), b(kPiece), history;
  std::copy(first.begin(), first.end(), a.begin());
  std::size_t a_size = first.size();
  PieceDeflater ours, theirs;
  while (a_size > 0) {
    if (checks.should_stop()) return false;
    const long b_read = a_size == kPiece ? ReadFull(in, b) : 0;
    if (b_read < 0) return false;
    const std::span<const std::uint8_t> piece_a(a.data(), a_size);
    const std::span<const std::uint8_t> piece_b(b.data(), static_cast<std::size_t>(b_read));
    entry.Add(piece_a);
    entry.Add(piece_b);
    if (checks.reader_close(out.offset())) {
      if (!PutStoredPiece(piece_a, put) || !PutStoredPiece(piece_b, put)) return false;
    } else {
      std::future<bool> packed_a =
          std::async(std::launch::async, [&] { return theirs.Deflate(history, piece_a); });
      const bool packed_b = piece_b.empty() || ours.Deflate(piece_a, piece_b);
      if (!packed_a.get() || !packed_b || !out.Put(theirs.output())) return false;
      if (!piece_b.empty() && !out.Put(ours.output())) return false;
    }
    const std::span<const std::uint8_t> last = piece_b.empty() ? piece_a : piece_b;
    history.assign(last.end() - static_cast<std::ptrdiff_t>(std::min(last.size(), kDeflateHistory)),
                   last.end());
    if (piece_b.size() < kPiece) break;  // the file ended
    const long a_read = ReadFull(in, a);
    if (a_read < 0) return false;
    a_size = static_cast<std::size_t>(a_read);
  }
  return out.Put(kFinalEmptyBlock);
}

// Writes the whole archive; false when reading, deflating or writing fails or
// packing should stop.
bool PackStreamed(platform::File& in, std::string_view name, ArchiveOut& out,
                  const PackingChecks& checks) {
  platform::DirEntry status;
  if (in.Status(status) != 0 || status.is_folder) return false;
  const bool zip64 = StoredBound(status.size) >= kNoZip64Limit;
  const unsigned version = zip64 ? kVersionZip64 : kVersion;
  const std::uint32_t date = DosDateTime(status.last_write);
  const std::uint64_t size_field = zip64 ? kZip64Marker : 0;

  std::vector<std::uint8_t> block(kPiece);
  const long n = ReadFull(in, block);
  if (n < 0) return false;
  const DeflateLevel level =
      ChooseDeflateLevel(std::span<const std::uint8_t>(block.data(), static_cast<std::size_t>(n)));

  Record local;
  local.Put(kLocalSignature, 4).Put(version, 2).Put(kDataDescriptorFlag, 2).Put(8, 2).Put(date, 4);
  local.Put(0, 4).Put(size_field, 4).Put(size_field, 4).Put(name.size(), 2);
  local.Put(zip64 ? kZip64ExtraSize : 0, 2).Put(name);
  if (zip64) local.Put(kZip64ExtraId, 2).Put(16, 2).Put(0, 8).Put(0, 8);
  if (!out.Put(local.bytes())) return false;

  const std::uint64_t data_start = out.offset();
  EntryTotals entry;
  const bool packed_all =
      level == DeflateLevel::kFast
          ? PackInPairs(in, std::span(block.data(), static_cast<std::size_t>(n)), out, entry,
                        checks)
          : PackInOrder(in, block, static_cast<std::size_t>(n), level, out, entry, checks);
  if (!packed_all) return false;
  const std::uint32_t crc = entry.crc;
  const std::uint64_t plain = entry.plain;
  const std::uint64_t packed = out.offset() - data_start;
  // The file grew past what a header without zip64 fields can hold.
  if (!zip64 && (plain >= kNoZip64Limit || packed >= kNoZip64Limit)) return false;

  Record descriptor;
  descriptor.Put(kDescriptorSignature, 4).Put(crc, 4);
  descriptor.Put(packed, zip64 ? 8 : 4).Put(plain, zip64 ? 8 : 4);
  if (!out.Put(descriptor.bytes())) return false;

  const std::uint64_t directory_at = out.offset();
  Record central;
  central.Put(kCentralSignature, 4).Put(version, 2).Put(version, 2).Put(kDataDescriptorFlag, 2);
  central.Put(8, 2).Put(date, 4).Put(crc, 4);
  central.Put(zip64 ? kZip64Marker : packed, 4).Put(zip64 ? kZip64Marker : plain, 4);
  central.Put(name.size(), 2).Put(zip64 ? kZip64ExtraSize : 0, 2).Put(0, 2);  // no comment
  central.Put(0, 2).Put(0, 2).Put(0, 4).Put(0, 4).Put(name);  // disk, attributes, offset 0
  if (zip64) central.Put(kZip64ExtraId, 2).Put(16, 2).Put(plain, 8).Put(packed, 8);
  const std::uint64_t directory_size = central.bytes().size();
  if (!out.Put(central.bytes())) return false;

  Record end;
  if (zip64) {
    const std::uint64_t zip64_end_at = out.offset();
    end.Put(kZip64EndSignature, 4).Put(kZip64EndSize - 12, 8).Put(version, 2).Put(version, 2);
    end.Put(0, 4).Put(0, 4).Put(1, 8).Put(1, 8).Put(directory_size, 8).Put(directory_at, 8);
    end.Put(kZip64LocatorSignature, 4).Put(0, 4).Put(zip64_end_at, 8).Put(1, 4);
  }
  const auto fits = [](std::uint64_t value) {
    return value < kNoZip64Limit ? value : kZip64Marker;
  };
  end.Put(kEndSignature, 4).Put(0, 2).Put(0, 2).Put(1, 2).Put(1, 2);
  end.Put(directory_size, 4).Put(fits(directory_at), 4).Put(0, 2);
  return out.Put(end.bytes()) && out.Flush();
}

}  // namespace

StreamingPacker::~StreamingPacker() {
  Stop();
}

bool StreamingPacker::Start(std::string_view archive_path, std::string_view entry_name,
                            platform::File source, const std::atomic<bool>* stop) {
  Stop();
  platform::File archive;
  (void)platform::RemoveIfExists(archive_path);
  if (archive.Open(archive_path, platform::File::kWrite | platform::File::kCreate) != 0) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ = {};
  }
  cancel_ = false;
  reader_at_ = 0;
  thread_ = std::thread([this, archive = std::move(archive), source = std::move(source),
                         name = std::string(entry_name), stop]() mutable {
    const std::function<void(std::uint64_t)> publish = [this](std::uint64_t bytes) {
      Publish(bytes);
    };
    ArchiveOut out(archive, publish);
    const PackingChecks checks{
        [this, stop] { return cancel_.load() || (stop != nullptr && stop->load()); },
        [this](std::uint64_t written) { return written < reader_at_.load() + kCloseBehind; }};
    const bool ok = PackStreamed(source, name, out, checks);
    End(ok && archive.Close() == 0);
  });
  return true;
}

void StreamingPacker::Publish(std::uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.bytes = bytes;
  }
  changed_.notify_all();
}

void StreamingPacker::End(bool ok) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.ended = true;
    progress_.ok = ok;
  }
  changed_.notify_all();
}

StreamingPacker::Progress StreamingPacker::WaitFor(std::uint64_t bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] { return progress_.ended || progress_.bytes >= bytes; };
  if (bytes > reader_at_.load()) reader_at_ = bytes;
  changed_.wait(lock, ready);
  return progress_;
}

void StreamingPacker::Stop() {
  if (!thread_.joinable()) return;
  cancel_ = true;
  thread_.join();
}

}  // namespace kestrel
