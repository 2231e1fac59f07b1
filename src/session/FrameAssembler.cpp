#include "session/FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

FrameAssembler::Verdict FrameAssembler::Judge(const std::uint8_t* data, std::size_t bytes,
                                              std::size_t* size) {
  if (bytes >= 1 && data[0] != kClientMagic0) return Verdict::kCorrupt;
  if (bytes >= 2 && data[1] != kClientMagic1) return Verdict::kCorrupt;
  if (bytes < kFrameHeaderSize) return Verdict::kIncomplete;
  const std::size_t length = data[3];
  const std::size_t frame_size = kFrameOverhead + length;
  if (bytes < frame_size) return Verdict::kIncomplete;
  if (!IsValidFrame(data, bytes)) return Verdict::kCorrupt;
  const bool bulk = RequestHasBulkBlock(FrameType(data), length);
  const std::size_t total = frame_size + (bulk ? kBulkBlockSize : 0);
  if (bytes < total) return Verdict::kIncomplete;
  *size = total;
  return Verdict::kComplete;
}

void FrameAssembler::Feed(const std::uint8_t* data, std::size_t bytes,
                          platform::Clock::SteadyTime now) {
  read_ = data;
  left_ = bytes;
  at_read_start_ = true;
  now_ = now;
}

FrameAssembler::Result FrameAssembler::Next() {
  Result result;
  if (left_ == 0) return result;
  if (pending_ > 0) {
    Continue(result);
  } else {
    NextFresh(result);
  }
  at_read_start_ = false;
  return result;
}

void FrameAssembler::NextFresh(Result& result) {
  std::size_t size = 0;
  switch (Judge(read_, left_, &size)) {
    case Verdict::kComplete:
      result.frame = read_;
      result.size = size;
      Consume(size);
      if (left_ > 0) pipelining_ = true;
      return;
    case Verdict::kCorrupt:
      // Where the next frame would start is unknown: the read is dropped.
      ++result.corrupt;
      left_ = 0;
      return;
    case Verdict::kIncomplete:
      // An incomplete frame is never longer than the buffer (Judge would have
      // completed it), so the rest of the read fits.
      if (!at_read_start_) pipelining_ = true;
      std::memcpy(buffer_, read_, left_);
      pending_ = left_;
      started_ = now_;
      left_ = 0;
      return;
  }
}

void FrameAssembler::Continue(Result& result) {
  std::size_t own_size = 0;
  if (now_ - started_ > timeout_ ||
      (!pipelining_ && Judge(read_, left_, &own_size) == Verdict::kComplete)) {
    // The rest never came in time, or the read is a whole request of its own
    // (a peer that gave up on the old frame): give the old start up and judge
    // this read on its own.
    pending_ = 0;
    ++result.corrupt;
    NextFresh(result);
    return;
  }
  const std::size_t take = std::min(left_, sizeof buffer_ - pending_);
  std::memcpy(buffer_ + pending_, read_, take);
  const std::size_t held = pending_ + take;
  std::size_t size = 0;
  switch (Judge(buffer_, held, &size)) {
    case Verdict::kComplete:
      Consume(size - pending_);
      pending_ = 0;
      result.frame = buffer_;
      result.size = size;
      if (left_ > 0) pipelining_ = true;
      return;
    case Verdict::kIncomplete:
      pending_ = held;
      Consume(take);
      return;
    case Verdict::kCorrupt:
      // The new bytes do not continue the old frame; a peer that gave up on
      // it and sent a fresh request is served by judging the read alone.
      pending_ = 0;
      ++result.corrupt;
      NextFresh(result);
      return;
  }
}

}  // namespace kestrel
