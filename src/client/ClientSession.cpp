#include "client/ClientSession.h"

#include <algorithm>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "support/Md5.h"
#include "support/ZipArchive.h"

namespace kestrel::client {
namespace {

constexpr std::size_t RoundUpToBlock(std::size_t n) {
  return (n + CRijndael::kBlockSize - 1) / CRijndael::kBlockSize * CRijndael::kBlockSize;
}

void PutLittleEndian64(std::uint64_t value, std::uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool IsPayload(const std::optional<ReplyFrame>& reply, std::span<const std::uint8_t> expected) {
  return reply && reply->payload.size() == expected.size() &&
         std::equal(expected.begin(), expected.end(), reply->payload.begin());
}

}  // namespace

ClientSession::ClientSession(ClientConnection& connection, std::string global_key)
    : connection_(connection), global_key_(std::move(global_key)) {}

void ClientSession::set_session_key(const std::uint8_t (&key)[kKeySize]) {
  std::memcpy(key_, key, kKeySize);
}

bool ClientSession::RequestSessionKey() {
  std::uint8_t client_value[kKeySize];
  if (!platform::SecureRandom(client_value, sizeof client_value)) return false;
  const std::string bootstrap = BootstrapKey(global_key_);
  std::uint8_t sealed[kKeySize];
  cipher_.MakeKey(reinterpret_cast<const std::uint8_t*>(bootstrap.data()));
  cipher_.EncryptBlock(client_value, sealed);
  const std::optional<ReplyFrame> reply = connection_.Request(PacketType::kGetSessionKey, sealed);
  if (!reply || reply->payload.size() != kKeySize) return false;
  cipher_.MakeKey(client_value);
  cipher_.DecryptBlock(reply->payload.data(), key_);
  return true;
}

std::vector<std::uint8_t> ClientSession::SealRecord(std::initializer_list<std::string_view> strings,
                                                    std::span<const std::uint8_t> fixed,
                                                    std::string_view trailing) {
  std::vector<std::uint8_t> record;
  for (std::string_view s : strings) {
    if (s.size() > 255) return {};
    record.push_back(static_cast<std::uint8_t>(s.size()));
  }
  record.insert(record.end(), fixed.begin(), fixed.end());
  for (std::string_view s : strings) record.insert(record.end(), s.begin(), s.end());
  record.insert(record.end(), trailing.begin(), trailing.end());
  if (record.empty() || RoundUpToBlock(record.size()) > kMaxRecord) return {};
  std::vector<std::uint8_t> sealed(RoundUpToBlock(record.size()));
  cipher_.MakeKey(key_);
  EncryptBuffer(cipher_, record.data(), record.size(), sealed.data());
  return sealed;
}

bool ClientSession::Accepted(PacketType type, std::span<const std::uint8_t> payload) {
  if (payload.empty()) return false;
  return IsPayload(connection_.Request(type, payload), kReplyAccepted);
}

bool ClientSession::Login(std::string_view user, std::string_view password,
                          std::string_view project, std::string_view client_name,
                          std::string_view client_hash) {
  return Accepted(PacketType::kLogin,
                  SealRecord({user, password, project, client_name}, {}, client_hash));
}

bool ClientSession::RemoteLogin(std::string_view password) {
  return Accepted(PacketType::kRemoteLogin, SealRecord({password}));
}

bool ClientSession::Logout() {
  return IsPayload(connection_.Request(PacketType::kLogout, kReplyEcho), kReplyEcho);
}

bool ClientSession::RequestScanResult() {
  return IsPayload(connection_.Request(PacketType::kScanResultRequest), kReplyAccepted);
}

bool ClientSession::RequestDownload(std::string_view folder, std::string_view file) {
  return Accepted(PacketType::kDownloadRequest, SealRecord({folder, file}));
}

bool ClientSession::WaitTransferReady(int polls) {
  for (int i = 0; i < polls; ++i) {
    const std::optional<ReplyFrame> reply = connection_.Request(PacketType::kTransferReady);
    if (!reply) return false;
    if (reply->payload.size() == 1 && reply->payload[0] == kReplyYes) return true;
  }
  return false;
}

bool ClientSession::FetchChunks(const ChunkSink& sink) {
  cipher_.MakeKey(key_);
  for (;;) {
    const std::optional<ReplyFrame> reply = connection_.Request(PacketType::kNextDownloadChunk);
    if (!reply) return false;
    if (reply->payload.empty()) return true;  // end marker
    if (reply->payload.size() != kBulkDownloadPayload || reply->block.size() != kBulkBlockSize) {
      return false;
    }
    const std::size_t n = static_cast<std::size_t>(reply->payload[0] << 8 | reply->payload[1]);
    if (n == 0 || n > kBulkBlockSize) return false;
    DecryptBuffer(cipher_, reply->block.data(), RoundUpToBlock(n), plain_);
    if (!sink(std::span<const std::uint8_t>(plain_, n))) return false;
  }
}

bool ClientSession::FetchToFile(std::string_view local_archive) {
  platform::File out;
  if (out.Open(local_archive, platform::File::kWrite | platform::File::kCreate) != 0) return false;
  const bool fetched = FetchChunks([&out](std::span<const std::uint8_t> bytes) {
    return out.Write(bytes.data(), bytes.size()) == 0;
  });
  return out.Close() == 0 && fetched;
}

bool ClientSession::FetchAndExtract(std::string_view local_archive, std::string_view local_target) {
  if (!FetchToFile(local_archive)) return false;
  const ExtractResult result = ExtractArchive(local_archive, local_target);
  return result.ok && result.entries > 0;
}

bool ClientSession::DownloadScanResult(std::string_view local_archive,
                                       std::string_view local_target) {
  return RequestScanResult() && WaitTransferReady() && FetchAndExtract(local_archive, local_target);
}

bool ClientSession::DownloadFile(std::string_view folder, std::string_view file,
                                 std::string_view local_archive, std::string_view local_target) {
  return RequestDownload(folder, file) && WaitTransferReady() &&
         FetchAndExtract(local_archive, local_target);
}

bool ClientSession::SendUploadChunk(std::span<const std::uint8_t> archive_bytes) {
  if (archive_bytes.empty() || archive_bytes.size() > kBulkBlockSize) return false;
  const std::size_t plain = archive_bytes.size();
  cipher_.MakeKey(key_);
  const std::size_t sealed = EncryptBuffer(cipher_, archive_bytes.data(), plain, sealed_);
  const std::uint8_t header[kBulkUploadPayload] = {
      static_cast<std::uint8_t>(sealed >> 8), static_cast<std::uint8_t>(sealed & 0xFF),
      static_cast<std::uint8_t>(plain >> 8), static_cast<std::uint8_t>(plain & 0xFF),
      kUploadDataMarker};
  return IsPayload(connection_.BulkRequest(PacketType::kUploadChunk, header,
                                           std::span<const std::uint8_t>(sealed_, sealed)),
                   kReplyAccepted);
}

bool ClientSession::SendUploadEnd() {
  return IsPayload(connection_.Request(PacketType::kUploadChunk), kReplyAccepted);
}

bool ClientSession::UploadArchive(std::string_view folder, std::string_view file,
                                  std::string_view local_archive, platform::FileTime last_write,
                                  std::int64_t file_size) {
  std::uint8_t fixed[16];
  PutLittleEndian64(last_write, fixed);
  PutLittleEndian64(static_cast<std::uint64_t>(file_size), fixed + 8);
  if (!Accepted(PacketType::kUploadRequest, SealRecord({folder, file}, fixed))) return false;
  return SendArchive(local_archive);
}

bool ClientSession::SendArchive(std::string_view local_archive) {
  platform::File in;
  if (in.Open(local_archive, platform::File::kRead) != 0) return false;
  std::uint8_t piece[kBulkBlockSize];
  for (;;) {
    std::size_t have = 0;
    while (have < sizeof piece) {
      const long n = in.Read(piece + have, sizeof piece - have);
      if (n < 0) return false;
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    if (have == 0) break;
    if (!SendUploadChunk(std::span<const std::uint8_t>(piece, have))) return false;
    if (have < sizeof piece) break;
  }
  return SendUploadEnd();
}

bool ClientSession::UploadFile(std::string_view folder, std::string_view file,
                               std::string_view local_source, platform::FileTime last_write,
                               std::string_view local_archive) {
  platform::DirEntry source;
  if (platform::Stat(local_source, source) != 0) return false;
  if (!PackFile(local_archive, local_source, file)) return false;
  return UploadArchive(folder, file, local_archive, last_write,
                       static_cast<std::int64_t>(source.size));
}

bool ClientSession::RequestServerLogs() {
  return IsPayload(connection_.Request(PacketType::kServerLogsRequest), kReplyAccepted);
}

bool ClientSession::ServerLogs(const ChunkSink& sink) {
  return RequestServerLogs() && WaitTransferReady() && FetchChunks(sink);
}

bool ClientSession::ServerLogs(std::string_view local_archive) {
  if (RequestServerLogs() && WaitTransferReady() && FetchToFile(local_archive)) return true;
  platform::DeleteFile(local_archive);
  return false;
}

bool ClientSession::RequestRemoteUpload(std::string_view announced_name) {
  return Accepted(PacketType::kRemoteUploadRequest, SealRecord({announced_name}));
}

bool ClientSession::RemoteUploadArchive(std::string_view local_archive,
                                        std::string_view announced_name) {
  return RequestRemoteUpload(announced_name) && SendArchive(local_archive);
}

bool ClientSession::RemoteUpload(std::string_view local_source, std::string_view announced_name,
                                 std::string_view local_archive) {
  const bool own_archive = local_archive.empty();
  const std::string archive =
      own_archive ? std::string(local_source) + ".zip" : std::string(local_archive);
  const bool sent = PackFile(archive, local_source, announced_name) &&
                    RemoteUploadArchive(archive, announced_name);
  if (own_archive) platform::DeleteFile(archive);
  return sent;
}

bool ClientSession::DeleteFile(std::string_view folder, std::string_view file) {
  return Accepted(PacketType::kDeleteFile, SealRecord({folder, file}));
}

PasswordChange ClientSession::ReadPasswordReply(PacketType type,
                                                std::span<const std::uint8_t> payload) {
  if (payload.empty()) return PasswordChange::kNoReply;
  const std::optional<ReplyFrame> reply = connection_.Request(type, payload);
  if (IsPayload(reply, kReplyAccepted)) return PasswordChange::kChanged;
  if (IsPayload(reply, kReplyRefused)) return PasswordChange::kRefused;
  return PasswordChange::kNoReply;
}

PasswordChange ClientSession::ChangeUserPassword(std::string_view old_password,
                                                 std::string_view new_password,
                                                 std::string_view user, std::string_view project) {
  return ReadPasswordReply(PacketType::kUserPasswordChange,
                           SealRecord({old_password, new_password, user, project}));
}

PasswordChange ClientSession::ChangeRemotePassword(std::string_view old_password,
                                                   std::string_view new_password) {
  return ReadPasswordReply(PacketType::kRemotePasswordChange,
                           SealRecord({old_password, new_password}));
}

}  // namespace kestrel::client
