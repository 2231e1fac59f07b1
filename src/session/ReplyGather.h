#pragma once
// The replies of one read on their way out. A read that holds one frame
// sends its reply at once with one send call, as ever; while more frames of
// the same read wait (a pipelining peer), their replies are gathered in one
// bounded buffer and go out together when the read's last frame is answered,
// when the buffer is full, or at Flush. The buffer is made once per
// connection; nothing is allocated per reply.
//
// Threads: owned by one session handler, used on its slot thread only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrel {

class CSocketClass;

class ReplyGather {
 public:
  static constexpr std::size_t kCapacity = 64 * 1024;

  ReplyGather() = default;
  ReplyGather(const ReplyGather&) = delete;
  ReplyGather& operator=(const ReplyGather&) = delete;

  // connection: borrowed from the slot, valid until Detach.
  void Attach(CSocketClass* connection);
  // Flushes what is held, then forgets the connection.
  void Detach();
  // One reply frame (at most kCapacity bytes). more_in_read: further frames
  // of the same read are still to be answered. True when the frame went out
  // or was gathered, false when a send failed (held replies are then lost
  // with the connection).
  [[nodiscard]] bool Put(std::span<const std::uint8_t> frame, bool more_in_read);
  // Sends the gathered replies in one call; true when nothing is left.
  bool Flush();
  std::size_t held() const { return held_; }

 private:
  CSocketClass* connection_ = nullptr;  // borrowed, see Attach
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t held_ = 0;
};

}  // namespace kestrel
