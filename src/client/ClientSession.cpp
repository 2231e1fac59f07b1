#include "client/ClientSession.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "client/BasicRequests.h"
#include "net/RequestLayout.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "support/Md5.h"
#include "support/ZipArchive.h"

namespace kestrel::client {
namespace {

constexpr std::size_t RoundUpToBlock(std::size_t n) {
  return (n + CRijndael::kBlockSize - 1) / CRijndael::kBlockSize * CRijndael::kBlockSize;
}

// A server that says "not ready" is asked again after this pause.
constexpr std::chrono::milliseconds kReadyPause{50};

bool IsPayload(const std::optional<ReplyFrame>& reply, std::span<const std::uint8_t> expected) {
  return reply && reply->payload.size() == expected.size() &&
         std::equal(expected.begin(), expected.end(), reply->payload.begin());
}

TransferResult Failed(TransferStatus status, TransferStep step, std::string_view local_path = {}) {
  TransferResult result;
  result.status = status;
  result.step = step;
  result.local_path = local_path;
  return result;
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
  const std::vector<std::uint8_t> record = ComposeRecord(strings, fixed, trailing);
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

TransferStatus ClientSession::AskRefusable(PacketType type, std::span<const std::uint8_t> payload) {
  if (payload.empty()) return TransferStatus::kTooLong;
  std::optional<ReplyFrame> reply;
  {
    ScopedReplyTimeout short_wait(connection_, std::min(kSilenceWait, connection_.reply_timeout()));
    reply = connection_.Request(type, payload);
  }
  if (IsPayload(reply, kReplyAccepted)) return TransferStatus::kDone;
  if (!connection_.connected()) return TransferStatus::kNoReply;
  // Silence from a server that still answers: the request was refused.
  return Ping(connection_) ? TransferStatus::kRefused : TransferStatus::kNoReply;
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

bool ClientSession::WaitTransferReady() {
  // The server prepares the archive before it reads the next request, so a
  // large file can hold the first answer back; the whole wait is bounded.
  const auto deadline =
      std::chrono::steady_clock::now() + kSlowStepFactor * connection_.reply_timeout();
  for (;;) {
    const YesNo ready = TransferReady(connection_);
    if (ready == YesNo::kYes) return true;
    if (!connection_.connected() || std::chrono::steady_clock::now() >= deadline) return false;
    if (ready == YesNo::kNo) std::this_thread::sleep_for(kReadyPause);
  }
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

TransferResult ClientSession::FetchToFile(std::string_view local_archive,
                                          ProgressReporter& report) {
  platform::File out;
  if (out.Open(local_archive, platform::File::kWrite | platform::File::kCreate) != 0) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  report.Phase(TransferPhase::kMoving);
  bool written = true;
  const bool fetched = FetchChunks([&](std::span<const std::uint8_t> bytes) {
    written = out.Write(bytes.data(), bytes.size()) == 0;
    if (written) report.AddArchiveBytes(bytes);
    return written;
  });
  const bool closed = out.Close() == 0;
  if (!written || !closed) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  if (!fetched) return Failed(TransferStatus::kNoReply, TransferStep::kChunks);
  return {};
}

TransferResult ClientSession::AwaitArchive(ProgressReporter& report) {
  report.Phase(TransferPhase::kPreparing);
  if (WaitTransferReady()) return {};
  return Failed(connection_.connected() ? TransferStatus::kNotReady : TransferStatus::kNoReply,
                TransferStep::kPrepare);
}

TransferResult ClientSession::FetchAndExtract(std::string_view local_archive,
                                              std::string_view local_target,
                                              ProgressReporter& report) {
  const TransferResult ready = AwaitArchive(report);
  if (!ready) return ready;
  report.SizeFromArchiveHead();  // one file, one entry
  const TransferResult fetched = FetchToFile(local_archive, report);
  if (!fetched) {
    platform::RemoveIfExists(local_archive);
    return fetched;
  }
  report.Phase(TransferPhase::kFinishing);
  const ExtractResult extracted = ExtractArchive(local_archive, local_target);
  platform::RemoveIfExists(local_archive);
  if (!extracted.ok) {
    const bool local = extracted.reason == ExtractFailure::kWriteFailed ||
                       extracted.reason == ExtractFailure::kNoSpace;
    TransferResult result = Failed(local ? TransferStatus::kLocal : TransferStatus::kDamaged,
                                   TransferStep::kUnpack, local_target);
    result.unpack = extracted.reason;
    return result;
  }
  if (extracted.entries == 0) return Failed(TransferStatus::kNotFound, TransferStep::kUnpack);
  return {};
}

TransferResult ClientSession::DownloadScanResult(std::string_view local_archive,
                                                 std::string_view local_target,
                                                 TransferObserver* observer) {
  ProgressReporter report(observer);
  if (!RequestScanResult()) return Failed(TransferStatus::kNoReply, TransferStep::kRequest);
  return FetchAndExtract(local_archive, local_target, report);
}

TransferResult ClientSession::Download(std::string_view folder, std::string_view file,
                                       std::string_view local_archive,
                                       std::string_view local_target,
                                       std::optional<platform::FileTime> remote_time,
                                       TransferObserver* observer) {
  ProgressReporter report(observer);
  const TransferStatus asked =
      AskRefusable(PacketType::kDownloadRequest, SealRecord({folder, file}));
  if (asked != TransferStatus::kDone) return Failed(asked, TransferStep::kRequest);
  TransferResult result = FetchAndExtract(local_archive, local_target, report);
  if (result && remote_time && platform::SetLastWriteTime(local_target, *remote_time) != 0) {
    return Failed(TransferStatus::kLocal, TransferStep::kLocalFile, local_target);
  }
  return result;
}

bool ClientSession::DownloadFile(std::string_view folder, std::string_view file,
                                 std::string_view local_archive, std::string_view local_target) {
  return Download(folder, file, local_archive, local_target, std::nullopt).ok();
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

TransferResult ClientSession::SendUpload(std::string_view folder, std::string_view file,
                                         std::string_view local_archive,
                                         platform::FileTime last_write, std::int64_t file_size,
                                         ProgressReporter& report) {
  std::uint8_t fixed[kUploadFixedPartSize];
  WriteUploadFixedPart(UploadFixedPart{last_write, file_size}, fixed);
  const TransferStatus asked =
      AskRefusable(PacketType::kUploadRequest, SealRecord({folder, file}, fixed));
  if (asked != TransferStatus::kDone) return Failed(asked, TransferStep::kRequest);
  return SendArchive(local_archive, report);
}

TransferResult ClientSession::SendArchive(std::string_view local_archive,
                                          ProgressReporter& report) {
  platform::File in;
  platform::DirEntry archive;
  if (in.Open(local_archive, platform::File::kRead) != 0 ||
      platform::Stat(local_archive, archive) != 0) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  report.Phase(TransferPhase::kMoving, archive.size);
  std::uint8_t piece[kBulkBlockSize];
  for (;;) {
    std::size_t have = 0;
    while (have < sizeof piece) {
      const long n = in.Read(piece + have, sizeof piece - have);
      if (n < 0) return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
      if (n == 0) break;
      have += static_cast<std::size_t>(n);
    }
    if (have == 0) break;
    if (!SendUploadChunk(std::span<const std::uint8_t>(piece, have))) {
      return Failed(TransferStatus::kNoReply, TransferStep::kChunks);
    }
    report.Add(have);
    if (have < sizeof piece) break;
  }
  report.Phase(TransferPhase::kFinishing);
  // The server unpacks and places the file before it answers the end.
  ScopedReplyTimeout long_wait(connection_, kSlowStepFactor * connection_.reply_timeout());
  if (!SendUploadEnd()) return Failed(TransferStatus::kNoReply, TransferStep::kEnd);
  return {};
}

TransferResult ClientSession::Upload(std::string_view local_source, std::string_view folder,
                                     std::string_view file, std::string_view local_archive,
                                     std::optional<platform::FileTime> announce,
                                     TransferObserver* observer) {
  ProgressReporter report(observer);
  platform::DirEntry before;
  if (platform::Stat(local_source, before) != 0 || before.is_folder) {
    return Failed(TransferStatus::kLocal, TransferStep::kLocalFile, local_source);
  }
  report.Phase(TransferPhase::kPacking);
  const bool packed = PackFile(local_archive, local_source, file);
  platform::DirEntry after;
  TransferResult result;
  if (!packed || platform::Stat(local_source, after) != 0) {
    result = Failed(TransferStatus::kLocal, TransferStep::kLocalFile, local_source);
  } else if (after.size != before.size || after.last_write != before.last_write) {
    result = Failed(TransferStatus::kChanged, TransferStep::kLocalFile, local_source);
  } else {
    result = SendUpload(folder, file, local_archive, announce.value_or(before.last_write),
                        static_cast<std::int64_t>(before.size), report);
    result.sent_time = announce.value_or(before.last_write);
  }
  platform::RemoveIfExists(local_archive);
  return result;
}

bool ClientSession::UploadFile(std::string_view folder, std::string_view file,
                               std::string_view local_source, platform::FileTime last_write,
                               std::string_view local_archive) {
  return Upload(local_source, folder, file, local_archive, last_write).ok();
}

bool ClientSession::UploadArchive(std::string_view folder, std::string_view file,
                                  std::string_view local_archive, platform::FileTime last_write,
                                  std::int64_t file_size) {
  ProgressReporter report(nullptr);
  return SendUpload(folder, file, local_archive, last_write, file_size, report).ok();
}

bool ClientSession::RequestServerLogs() {
  return IsPayload(connection_.Request(PacketType::kServerLogsRequest), kReplyAccepted);
}

bool ClientSession::ServerLogs(const ChunkSink& sink) {
  return RequestServerLogs() && WaitTransferReady() && FetchChunks(sink);
}

bool ClientSession::ServerLogs(std::string_view local_archive) {
  return DownloadServerLogs(local_archive).ok();
}

TransferResult ClientSession::DownloadServerLogs(std::string_view local_archive,
                                                 TransferObserver* observer) {
  ProgressReporter report(observer);
  if (!RequestServerLogs()) return Failed(TransferStatus::kNoReply, TransferStep::kRequest);
  TransferResult result = AwaitArchive(report);
  if (result) result = FetchToFile(local_archive, report);
  if (!result) platform::RemoveIfExists(local_archive);
  return result;
}

bool ClientSession::RequestRemoteUpload(std::string_view announced_name) {
  return Accepted(PacketType::kRemoteUploadRequest, SealRecord({announced_name}));
}

bool ClientSession::RemoteUploadArchive(std::string_view local_archive,
                                        std::string_view announced_name) {
  ProgressReporter report(nullptr);
  return RequestRemoteUpload(announced_name) && SendArchive(local_archive, report).ok();
}

bool ClientSession::RemoteUpload(std::string_view local_source, std::string_view announced_name,
                                 std::string_view local_archive) {
  const bool own_archive = local_archive.empty();
  const std::string archive =
      own_archive ? std::string(local_source) + ".zip" : std::string(local_archive);
  const bool sent = PackFile(archive, local_source, announced_name) &&
                    RemoteUploadArchive(archive, announced_name);
  if (own_archive) platform::RemoveIfExists(archive);
  return sent;
}

bool ClientSession::DeleteFile(std::string_view folder, std::string_view file) {
  return Accepted(PacketType::kDeleteFile, SealRecord({folder, file}));
}

TransferResult ClientSession::Delete(std::string_view folder, std::string_view file) {
  const TransferStatus asked = AskRefusable(PacketType::kDeleteFile, SealRecord({folder, file}));
  return asked == TransferStatus::kDone ? TransferResult{} : Failed(asked, TransferStep::kRequest);
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
