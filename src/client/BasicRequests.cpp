#include "client/BasicRequests.h"

#include <algorithm>
#include <iterator>

namespace kestrel::client {

bool Ping(ClientConnection& connection) {
  std::optional<ReplyFrame> reply = connection.Request(PacketType::kPing, kReplyEcho);
  return reply && std::equal(reply->payload.begin(), reply->payload.end(), std::begin(kReplyEcho),
                             std::end(kReplyEcho));
}

YesNo ReadYesNo(const std::optional<ReplyFrame>& reply) {
  if (!reply || reply->payload.size() != 1) return YesNo::kNoReply;
  if (reply->payload[0] == kReplyYes) return YesNo::kYes;
  if (reply->payload[0] == kReplyNo) return YesNo::kNo;
  return YesNo::kNoReply;
}

YesNo ScanResultChanged(ClientConnection& connection) {
  return ReadYesNo(connection.Request(PacketType::kScanResultChanged));
}

YesNo TransferReady(ClientConnection& connection) {
  return ReadYesNo(connection.Request(PacketType::kTransferReady));
}

}  // namespace kestrel::client
