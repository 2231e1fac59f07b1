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

void FrameAssembler::FeedFresh(const std::uint8_t* data, std::size_t bytes,
                               platform::Clock::SteadyTime now, Result& result) {
  std::size_t size = 0;
  switch (Judge(data, bytes, &size)) {
    case Verdict::kComplete:
      result.frame = data;
      result.size = size;
      return;
    case Verdict::kCorrupt:
      ++result.corrupt;
      return;
    case Verdict::kIncomplete:
      // An incomplete frame is never longer than the buffer (Judge would have
      // completed it), so the whole read fits.
      std::memcpy(buffer_, data, bytes);
      pending_ = bytes;
      started_ = now;
      return;
  }
}

FrameAssembler::Result FrameAssembler::Feed(const std::uint8_t* data, std::size_t bytes,
                                            platform::Clock::SteadyTime now) {
  Result result;
  if (bytes == 0) return result;
  if (pending_ == 0) {
    FeedFresh(data, bytes, now, result);
    return result;
  }
  std::size_t own_size = 0;
  if (now - started_ > timeout_ || Judge(data, bytes, &own_size) == Verdict::kComplete) {
    // The rest never came in time, or the read is a whole request of its own
    // (a peer that gave up on the old frame): give the old start up and judge
    // this read on its own.
    pending_ = 0;
    ++result.corrupt;
    FeedFresh(data, bytes, now, result);
    return result;
  }
  const std::size_t take = std::min(bytes, sizeof buffer_ - pending_);
  std::memcpy(buffer_ + pending_, data, take);
  const std::size_t held = pending_ + take;
  std::size_t size = 0;
  switch (Judge(buffer_, held, &size)) {
    case Verdict::kComplete:
      pending_ = 0;
      result.frame = buffer_;
      result.size = size;
      return result;
    case Verdict::kIncomplete:
      pending_ = held;
      return result;
    case Verdict::kCorrupt:
      // The new bytes do not continue the old frame; a peer that gave up on
      // it and sent a fresh request is served by judging the read alone.
      pending_ = 0;
      ++result.corrupt;
      FeedFresh(data, bytes, now, result);
      return result;
  }
  return result;
}

}  // namespace kestrel
