#include "session/ReplyGather.h"

#include <cstring>

#include "net/SocketClass.h"

namespace kestrel {

void ReplyGather::Attach(CSocketClass* connection) {
  connection_ = connection;
  held_ = 0;
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kCapacity);
}

void ReplyGather::Detach() {
  (void)Flush();
  connection_ = nullptr;
}

bool ReplyGather::Put(std::span<const std::uint8_t> frame, bool more_in_read) {
  if (connection_ == nullptr || frame.size() > kCapacity) return false;
  // The strict peer's reply: alone, at once, exactly as built.
  if (!more_in_read && held_ == 0) return connection_->Send(frame);
  bool sent = true;
  if (held_ + frame.size() > kCapacity) sent = Flush();
  std::memcpy(buffer_.get() + held_, frame.data(), frame.size());
  held_ += frame.size();
  if (!more_in_read) sent = Flush() && sent;
  return sent;
}

bool ReplyGather::Flush() {
  if (held_ == 0) return true;
  const std::size_t bytes = held_;
  held_ = 0;
  return connection_ != nullptr && connection_->Send(buffer_.get(), bytes);
}

}  // namespace kestrel
