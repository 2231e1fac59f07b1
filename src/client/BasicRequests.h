#pragma once
// The requests that need no session key: ping and the two yes/no queries.
#include "client/ClientConnection.h"

namespace kestrel::client {

enum class YesNo { kYes, kNo, kNoReply };

// Type 0x01 with CC 33; true when the server echoed CC 33.
bool Ping(ClientConnection& connection);
// Type 0x21: has the scan of the logged-in user's project changed their result?
YesNo ScanResultChanged(ClientConnection& connection);
// Type 0x30: is the archive of the last transfer request complete?
YesNo TransferReady(ClientConnection& connection);

// The yes/no reading of a one-byte reply (anything else counts as no reply).
YesNo ReadYesNo(const std::optional<ReplyFrame>& reply);

}  // namespace kestrel::client
