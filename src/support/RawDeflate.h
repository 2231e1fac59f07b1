// Raw deflate data (no zlib or gzip framing) for zip entries, and the pieces
// of an entry's record that go with it: the level chosen from a sample, the
// CRC-32 and the DOS date. Two levels only: deflate's stored blocks for data
// that does not shrink (still method 8, so every reader takes it), the
// fastest real level for the rest (igzip when built in, zlib otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/Clock.h"

namespace kestrel {

enum class DeflateLevel { kStored, kFast };

// The level for data that begins with first (its first 64 KiB are tried):
// stored when the fast level packs them to more than 90 % of their size
// (photos, archives, media, ciphertext).
DeflateLevel ChooseDeflateLevel(std::span<const std::uint8_t> first);

// Deflates a stream piece by piece. State and buffers are fixed (at most
// about 500 KiB), whatever the data's size. Threads: one owner at a time.
class RawDeflater {
 public:
  // Takes each piece of output; false stops the deflater with a failure.
  using Sink = std::function<bool(std::span<const std::uint8_t>)>;

  explicit RawDeflater(DeflateLevel level);
  ~RawDeflater();
  RawDeflater(const RawDeflater&) = delete;
  RawDeflater& operator=(const RawDeflater&) = delete;

  // Deflates data (last: it ends the stream) into sink. False when the
  // deflater or the sink fails.
  [[nodiscard]] bool Deflate(std::span<const std::uint8_t> data, bool last, const Sink& sink);

 private:
  class State;
  std::unique_ptr<State> state_;
};

// Packs pieces of one deflate stream apart from each other, so that several
// can be packed at once: each at the fast level, primed with the data before
// it (its last 32 KiB count), ending byte-aligned and not final. The stream
// ends with kFinalEmptyBlock. State and buffers are kept from piece to piece.
// Threads: one owner at a time.
class PieceDeflater {
 public:
  PieceDeflater();
  ~PieceDeflater();
  PieceDeflater(const PieceDeflater&) = delete;
  PieceDeflater& operator=(const PieceDeflater&) = delete;

  // Packs data after `before`; false when the deflater fails.
  [[nodiscard]] bool Deflate(std::span<const std::uint8_t> before,
                             std::span<const std::uint8_t> data);
  // The last piece packed.
  std::span<const std::uint8_t> output() const;

 private:
  class State;
  std::unique_ptr<State> state_;
};

// Writes data into sink as stored blocks that are not final, for a stream of
// pieces where copying keeps up better than packing. False when the sink fails.
[[nodiscard]] bool PutStoredPiece(std::span<const std::uint8_t> data,
                                  const RawDeflater::Sink& sink);

// The deflate block that ends a stream of pieces: final, empty, fixed codes.
inline constexpr std::uint8_t kFinalEmptyBlock[2] = {0x03, 0x00};
// The history a deflate piece can refer back to.
inline constexpr std::size_t kDeflateHistory = 32 * 1024;

// The zip CRC-32 of data, continuing from crc (0 to start).
std::uint32_t ZipCrc32(std::uint32_t crc, std::span<const std::uint8_t> data);

// Deflate data of size bytes in stored blocks: the most any level gives
// (five bytes of framing per 65535 bytes, the final empty block included).
std::uint64_t StoredBound(std::uint64_t size);

// The DOS date and time (date in the high half) of a file time, in local
// time as zip tools store it. Times before 1980, the format's first year,
// become 1 January 1980.
std::uint32_t DosDateTime(platform::FileTime time);

}  // namespace kestrel
