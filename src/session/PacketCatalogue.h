#pragma once
// The shape rules of the packet catalogue: what payload each request type
// needs and which login. The session checks frame, shape and login once,
// before it calls a request handler; handlers never repeat these checks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/Frame.h"

namespace kestrel {

enum class PayloadRule : std::uint8_t {
  kEmpty,       // no payload
  kEcho,        // exactly the two bytes CC 33 (ping, logout)
  kKeyBlock,    // exactly 16 bytes (get session key)
  kRecord,      // an encrypted request record: at least one byte
  kUploadData,  // 5 bytes with a bulk block (upload chunk), or empty (upload end)
};

enum class LoginRule : std::uint8_t {
  kNone,
  kClient,                  // a client program is logged in
  kRemote,                  // the remote administration tool is logged in
  kClientUnlessServerLogs,  // a client, except while the server logs are sent
};

// One complete, valid request frame as handed to a handler.
struct Request {
  PacketType type{};
  std::span<const std::uint8_t> payload;
  // The 1280-byte bulk block of upload data, else null.
  const std::uint8_t* block = nullptr;
};

bool PayloadFits(PayloadRule rule, std::span<const std::uint8_t> payload);

}  // namespace kestrel
