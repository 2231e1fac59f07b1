#include "session/PacketCatalogue.h"

#include "session/SessionHandler.h"

namespace kestrel {

bool PayloadFits(PayloadRule rule, std::span<const std::uint8_t> payload) {
  switch (rule) {
    case PayloadRule::kEmpty:
      return payload.empty();
    case PayloadRule::kEcho:
      return payload.size() == 2 && payload[0] == kReplyEcho[0] && payload[1] == kReplyEcho[1];
    case PayloadRule::kKeyBlock:
      return payload.size() == kSessionKeySize;
    case PayloadRule::kRecord:
    case PayloadRule::kProjectRead:
    case PayloadRule::kProjectWrite:
    case PayloadRule::kProjectUpload:
      return !payload.empty();
    case PayloadRule::kUploadData:
      return payload.empty() || payload.size() == kBulkUploadPayload;
  }
  return false;
}

bool NamesProjectFile(PayloadRule rule) {
  return rule == PayloadRule::kProjectRead || rule == PayloadRule::kProjectWrite ||
         rule == PayloadRule::kProjectUpload;
}

// The packet catalogue: every request type, the payload it needs, the login it
// needs and its handler. 0x21 and 0x30 are answered by the core itself.
const CSessionHandler::CatalogueEntry CSessionHandler::kCatalogue[] = {
    {PacketType::kPing, PayloadRule::kEcho, LoginRule::kNone, &CSessionHandler::OnPing},
    {PacketType::kGetSessionKey, PayloadRule::kKeyBlock, LoginRule::kNone,
     &CSessionHandler::OnGetSessionKey},
    {PacketType::kLogin, PayloadRule::kRecord, LoginRule::kNone, &CSessionHandler::OnLogin},
    {PacketType::kLogout, PayloadRule::kEcho, LoginRule::kNone, &CSessionHandler::OnLogout},
    {PacketType::kRemoteLogin, PayloadRule::kRecord, LoginRule::kNone,
     &CSessionHandler::OnRemoteLogin},
    {PacketType::kScanResultRequest, PayloadRule::kEmpty, LoginRule::kClient,
     &CSessionHandler::OnScanResultRequest},
    {PacketType::kScanResultChanged, PayloadRule::kEmpty, LoginRule::kClient,
     &CSessionHandler::OnScanResultChanged},
    {PacketType::kDownloadRequest, PayloadRule::kProjectRead, LoginRule::kClient,
     &CSessionHandler::OnDownloadRequest},
    {PacketType::kRemoteUploadRequest, PayloadRule::kRecord, LoginRule::kRemote,
     &CSessionHandler::OnRemoteUploadRequest},
    {PacketType::kServerLogsRequest, PayloadRule::kEmpty, LoginRule::kRemote,
     &CSessionHandler::OnServerLogsRequest},
    {PacketType::kTransferReady, PayloadRule::kEmpty, LoginRule::kNone,
     &CSessionHandler::OnTransferReady},
    {PacketType::kNextDownloadChunk, PayloadRule::kEmpty, LoginRule::kClientUnlessServerLogs,
     &CSessionHandler::OnNextDownloadChunk},
    {PacketType::kUploadRequest, PayloadRule::kProjectUpload, LoginRule::kClient,
     &CSessionHandler::OnUploadRequest},
    {PacketType::kUploadChunk, PayloadRule::kUploadData, LoginRule::kNone,
     &CSessionHandler::OnUploadData},
    {PacketType::kDeleteFile, PayloadRule::kProjectWrite, LoginRule::kClient,
     &CSessionHandler::OnDeleteFile},
    {PacketType::kRemotePasswordChange, PayloadRule::kRecord, LoginRule::kRemote,
     &CSessionHandler::OnRemotePasswordChange},
    {PacketType::kUserPasswordChange, PayloadRule::kRecord, LoginRule::kClient,
     &CSessionHandler::OnUserPasswordChange},
};

const CSessionHandler::CatalogueEntry* CSessionHandler::FindEntry(std::uint8_t type) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (static_cast<std::uint8_t>(entry.type) == type) return &entry;
  }
  return nullptr;
}

}  // namespace kestrel
