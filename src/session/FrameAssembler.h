#pragma once
// Reads a connection's bytes as a stream of client frames. Every complete
// frame of a read is handed back in order, in place and without a copy; a
// frame that a read leaves unfinished (a slow or fragmented peer, or a
// pipelining peer's next request cut by the read) is collected in an internal
// buffer until it is complete, for at most a short time-out. A frame is judged
// only by the bytes received for it; a broken frame costs the rest of its read.
//
// A peer that sends one request at a time and gave up on an unfinished frame
// is served at once: a read that is a complete valid frame on its own is taken
// as that frame, and the unfinished one before it is given up. A peer that has
// shown it pipelines (a read held more than one frame, or a frame and the
// start of the next) never gives a frame up, so its unfinished frames are
// always continued.
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
    // Frames given up as corrupt before this one: a broken frame, or an
    // unfinished one whose time ran out or which the new bytes did not fit.
    int corrupt = 0;
    // A complete frame (bulk block included); null when the read holds no
    // further complete frame. Points into the read or into the assembler,
    // valid until the next Feed or Next.
    const std::uint8_t* frame = nullptr;
    std::size_t size = 0;
  };

  // Takes the bytes of one read, received at `now`; they must stay in place
  // until Next has returned no frame.
  void Feed(const std::uint8_t* data, std::size_t bytes, platform::Clock::SteadyTime now);
  // The next complete frame of the read, in order; keeps an unfinished last
  // frame for the next read.
  Result Next();
  // Drops an unfinished frame and the rest of the read (connection end).
  void Reset() {
    pending_ = 0;
    left_ = 0;
  }
  bool HasPartialFrame() const { return pending_ > 0; }
  // Bytes of the read after the frame Next returned are still to be judged.
  bool HasMoreInRead() const { return left_ > 0; }
  bool pipelining() const { return pipelining_; }

 private:
  enum class Verdict { kIncomplete, kComplete, kCorrupt };
  // Judges the first `bytes` bytes as the start of a frame; on kComplete sets
  // *size to the frame's full length.
  static Verdict Judge(const std::uint8_t* data, std::size_t bytes, std::size_t* size);
  // Judges the read from its cursor on; keeps an incomplete start.
  void NextFresh(Result& result);
  // Continues the unfinished frame with the read.
  void Continue(Result& result);
  void Consume(std::size_t bytes) {
    read_ += bytes;
    left_ -= bytes;
  }

  const std::chrono::milliseconds timeout_;
  std::uint8_t buffer_[kMaxBulkFrameSize];  // the unfinished frame
  std::size_t pending_ = 0;                 // bytes of it in buffer_
  platform::Clock::SteadyTime started_{};   // arrival of its first bytes
  bool pipelining_ = false;                 // the peer has sent frames back to back

  // The read being taken apart.
  const std::uint8_t* read_ = nullptr;  // its next byte
  std::size_t left_ = 0;                // its bytes not yet taken
  bool at_read_start_ = false;
  platform::Clock::SteadyTime now_{};
};

}  // namespace kestrel
