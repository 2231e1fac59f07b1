#pragma once
// Puts one client frame together from the reads of a connection. A frame that
// arrives whole in one read is handed back in place, without a copy; a frame
// that a slow or fragmented peer delivers over several reads is collected in
// an internal buffer until it is complete, for at most a short time-out. A
// read that is a complete valid frame on its own is always taken as that
// frame: an unfinished one before it is then given up. A frame is judged only
// by the bytes received for it; bytes after its end (check byte, or bulk block
// for upload data) are ignored.
//
// Threads: owned by one session handler, used on its slot thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net/Frame.h"
#include "platform/Clock.h"

namespace kestrel {

class FrameAssembler {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{2000};

  explicit FrameAssembler(std::chrono::milliseconds timeout = kDefaultTimeout)
      : timeout_(timeout) {}
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  struct Result {
    // Frames given up as corrupt by this read: a broken frame, or an
    // unfinished one whose time ran out or which the new bytes did not fit.
    int corrupt = 0;
    // A complete frame (bulk block included); null when none is complete yet.
    // Points into the caller's read buffer or into the assembler, valid until
    // the next Feed or Reset.
    const std::uint8_t* frame = nullptr;
    std::size_t size = 0;
  };

  // Feeds the bytes of one read, received at `now`.
  Result Feed(const std::uint8_t* data, std::size_t bytes, platform::Clock::SteadyTime now);
  // Drops an unfinished frame (connection end).
  void Reset() { pending_ = 0; }
  bool HasPartialFrame() const { return pending_ > 0; }

 private:
  enum class Verdict { kIncomplete, kComplete, kCorrupt };
  // Judges the first `bytes` bytes as the start of a frame; on kComplete sets
  // *size to the frame's full length.
  static Verdict Judge(const std::uint8_t* data, std::size_t bytes, std::size_t* size);
  // Judges a read on its own; keeps an incomplete start for the next read.
  void FeedFresh(const std::uint8_t* data, std::size_t bytes, platform::Clock::SteadyTime now,
                 Result& result);

  const std::chrono::milliseconds timeout_;
  std::uint8_t buffer_[kMaxBulkFrameSize];  // the unfinished frame
  std::size_t pending_ = 0;                 // bytes of it in buffer_
  platform::Clock::SteadyTime started_{};   // arrival of its first bytes
};

}  // namespace kestrel
