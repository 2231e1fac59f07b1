#include "support/RawDeflate.h"

#include <zlib.h>

#if KESTREL_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <ctime>
#include <vector>

namespace kestrel {
namespace {

constexpr std::size_t kOutBlock = 64 * 1024;
constexpr std::size_t kSample = 64 * 1024;  // tried to choose the level
constexpr double kIncompressibleShare = 0.9;
constexpr std::size_t kStoredBlockMax = 0xFFFF;
constexpr std::size_t kStoredHeader = 5;

#if KESTREL_HAVE_ISAL
// A raw deflate stream at igzip's level 1, with level_buf as its buffer. The
// state is large: kept off the stack.
std::unique_ptr<isal_zstream> FastIgzip(std::vector<std::uint8_t>& level_buf) {
  auto stream = std::make_unique<isal_zstream>();
  level_buf.resize(ISAL_DEF_LVL1_DEFAULT);
  isal_deflate_init(stream.get());
  stream->level = 1;
  stream->level_buf = level_buf.data();
  stream->level_buf_size = static_cast<std::uint32_t>(level_buf.size());
  stream->gzip_flag = IGZIP_DEFLATE;
  return stream;
}
#endif

}  // namespace

DeflateLevel ChooseDeflateLevel(std::span<const std::uint8_t> first) {
  const std::span<const std::uint8_t> sample = first.first(std::min(first.size(), kSample));
  if (sample.empty()) return DeflateLevel::kFast;
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return DeflateLevel::kFast;
  }
  std::vector<unsigned char> out(deflateBound(&z, static_cast<uLong>(sample.size())));
  z.next_in = const_cast<unsigned char*>(sample.data());
  z.avail_in = static_cast<uInt>(sample.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&z, Z_FINISH);
  const std::size_t packed = z.total_out;
  deflateEnd(&z);
  if (status != Z_STREAM_END) return DeflateLevel::kFast;
  return static_cast<double>(packed) > kIncompressibleShare * static_cast<double>(sample.size())
             ? DeflateLevel::kStored
             : DeflateLevel::kFast;
}

// igzip (level 1) for the fast level when built in; zlib for stored blocks
// and for the fast level elsewhere.
class RawDeflater::State {
 public:
  explicit State(DeflateLevel level) {
#if KESTREL_HAVE_ISAL
    if (level == DeflateLevel::kFast) {
      igzip_ = FastIgzip(level_buf_);
      return;
    }
#endif
    zlib_ok_ = deflateInit2(&z_, level == DeflateLevel::kStored ? 0 : 1, Z_DEFLATED, -MAX_WBITS, 8,
                            Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~State() {
    if (zlib_ok_) deflateEnd(&z_);
  }

  bool Deflate(std::span<const std::uint8_t> data, bool last, const Sink& sink) {
#if KESTREL_HAVE_ISAL
    if (igzip_) {
      igzip_->next_in = const_cast<std::uint8_t*>(data.data());
      igzip_->avail_in = static_cast<std::uint32_t>(data.size());
      igzip_->end_of_stream = last ? 1 : 0;
      do {
        igzip_->next_out = out_.data();
        igzip_->avail_out = static_cast<std::uint32_t>(out_.size());
        if (isal_deflate(igzip_.get()) != COMP_OK) return false;
        const std::size_t produced = out_.size() - igzip_->avail_out;
        if (produced > 0 && !sink(std::span(out_.data(), produced))) return false;
      } while (igzip_->avail_in > 0 || (last && igzip_->internal_state.state != ZSTATE_END));
      return true;
    }
#endif
    if (!zlib_ok_) return false;
    z_.next_in = const_cast<Bytef*>(data.data());
    z_.avail_in = static_cast<uInt>(data.size());
    for (;;) {
      z_.next_out = out_.data();
      z_.avail_out = static_cast<uInt>(out_.size());
      const int status = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
      const std::size_t produced = out_.size() - z_.avail_out;
      if (produced > 0 && !sink(std::span(out_.data(), produced))) return false;
      if (last ? status == Z_STREAM_END : z_.avail_in == 0 && z_.avail_out > 0) return true;
    }
  }

 private:
#if KESTREL_HAVE_ISAL
  std::unique_ptr<isal_zstream> igzip_;  // large: kept off the stack
  std::vector<std::uint8_t> level_buf_;
#endif
  z_stream z_{};
  bool zlib_ok_ = false;
  std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(kOutBlock);
};

RawDeflater::RawDeflater(DeflateLevel level) : state_(std::make_unique<State>(level)) {}

RawDeflater::~RawDeflater() = default;

bool RawDeflater::Deflate(std::span<const std::uint8_t> data, bool last, const Sink& sink) {
  return state_->Deflate(data, last, sink);
}

class PieceDeflater::State {
 public:
  State() {
#if KESTREL_HAVE_ISAL
    igzip_ = FastIgzip(level_buf_);
    igzip_->flush = SYNC_FLUSH;
#else
    zlib_ok_ = deflateInit2(&z_, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
#endif
  }
  ~State() {
#if !KESTREL_HAVE_ISAL
    if (zlib_ok_) deflateEnd(&z_);
#endif
  }

  bool Deflate(std::span<const std::uint8_t> before, std::span<const std::uint8_t> data) {
    if (before.size() > kDeflateHistory) before = before.last(kDeflateHistory);
    // Room for stored blocks, the most any piece takes, and the flush.
    const std::size_t bound = data.size() + data.size() / 8 + 1024;
    if (out_.size() < bound) out_.resize(bound);
#if KESTREL_HAVE_ISAL
    isal_deflate_reset(igzip_.get());
    if (!before.empty() &&
        isal_deflate_set_dict(igzip_.get(), const_cast<std::uint8_t*>(before.data()),
                              static_cast<std::uint32_t>(before.size())) != COMP_OK) {
      return false;
    }
    igzip_->next_in = const_cast<std::uint8_t*>(data.data());
    igzip_->avail_in = static_cast<std::uint32_t>(data.size());
    igzip_->end_of_stream = 0;
    igzip_->next_out = out_.data();
    igzip_->avail_out = static_cast<std::uint32_t>(out_.size());
    if (isal_deflate(igzip_.get()) != COMP_OK || igzip_->avail_in != 0 || igzip_->avail_out == 0) {
      return false;
    }
    produced_ = out_.size() - igzip_->avail_out;
    return true;
#else
    if (!zlib_ok_ || deflateReset(&z_) != Z_OK) return false;
    if (!before.empty() &&
        deflateSetDictionary(&z_, before.data(), static_cast<uInt>(before.size())) != Z_OK) {
      return false;
    }
    z_.next_in = const_cast<Bytef*>(data.data());
    z_.avail_in = static_cast<uInt>(data.size());
    z_.next_out = out_.data();
    z_.avail_out = static_cast<uInt>(out_.size());
    if (deflate(&z_, Z_SYNC_FLUSH) != Z_OK || z_.avail_in != 0 || z_.avail_out == 0) return false;
    produced_ = out_.size() - z_.avail_out;
    return true;
#endif
  }

  std::span<const std::uint8_t> output() const {
    return std::span(out_.data(), produced_);
  }

 private:
#if KESTREL_HAVE_ISAL
  std::unique_ptr<isal_zstream> igzip_;
  std::vector<std::uint8_t> level_buf_;
#else
  z_stream z_{};
  bool zlib_ok_ = false;
#endif
  std::vector<std::uint8_t> out_;
  std::size_t produced_ = 0;
};

PieceDeflater::PieceDeflater() : state_(std::make_unique<State>()) {}

PieceDeflater::~PieceDeflater() = default;

bool PieceDeflater::Deflate(std::span<const std::uint8_t> before,
                            std::span<const std::uint8_t> data) {
  return state_->Deflate(before, data);
}

std::span<const std::uint8_t> PieceDeflater::output() const {
  return state_->output();
}

bool PutStoredPiece(std::span<const std::uint8_t> data, const RawDeflater::Sink& sink) {
  while (!data.empty()) {
    const std::size_t n = std::min(data.size(), kStoredBlockMax);
    const std::uint8_t header[kStoredHeader] = {
        0x00,  // not final, stored; the piece before ended on a byte
        static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
        static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)};
    if (!sink(header) || !sink(data.first(n))) return false;
    data = data.subspan(n);
  }
  return true;
}

std::uint32_t ZipCrc32(std::uint32_t crc, std::span<const std::uint8_t> data) {
#if KESTREL_HAVE_ISAL
  return crc32_gzip_refl(crc, data.data(), data.size());
#else
  return static_cast<std::uint32_t>(crc32(crc, data.data(), static_cast<uInt>(data.size())));
#endif
}

std::uint64_t StoredBound(std::uint64_t size) {
  return size + (size / kStoredBlockMax + 2) * kStoredHeader;
}

std::uint32_t DosDateTime(platform::FileTime time) {
  constexpr std::uint32_t kFirst = (0u << 9 | 1u << 5 | 1u) << 16;  // 1 January 1980, 00:00
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  platform::UnixFromFileTime(time, seconds, nanoseconds);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr || local.tm_year + 1900 < 1980) return kFirst;
  const auto date = static_cast<std::uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 |
                                               local.tm_mday);
  const auto clock =
      static_cast<std::uint32_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  return date << 16 | clock;
}

}  // namespace kestrel
