#include "session/SessionHandler.h"

#include <cassert>
#include <cstdarg>
#include <cstring>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "logging/UserActivityLog.h"
#include "net/SocketClass.h"
#include "platform/FileSystem.h"
#include "session/ServerLogs.h"

namespace kestrel {

CSessionHandler::CSessionHandler(const SessionContext& context)
    : values_(context), owner_(std::this_thread::get_id()) {}

CSessionHandler::~CSessionHandler() = default;  // the files close themselves

void CSessionHandler::OnConnection(CSocketClass* connection, int thread_number) {
  owner_ = std::this_thread::get_id();
  connection_ = connection;
  thread_number_ = thread_number;
  if (connection_ != nullptr) {
    peer_address_ = connection_->GetPeerAddress();
    peer_port_ = connection_->PeerPort();
  }
  std::memset(session_key_, 0, sizeof session_key_);
  project_ = nullptr;
  user_ = nullptr;
  SetLoggedIn(false, false);
  ready_ = server_logs_mode_ = false;
  assembler_.Reset();
  replies_.Attach(connection_);
  log_burst_ = LogBurstLimit();
}

std::size_t CSessionHandler::OnReceive(const std::uint8_t* buffer, std::size_t bytes) {
  assert(std::this_thread::get_id() == owner_);
  const platform::Clock::SteadyTime now = Now();
  ReportSuppressed(log_burst_.TakeEnded(now));
  assembler_.Feed(buffer, bytes, now);
  std::size_t handled = 0;
  for (;;) {
    const FrameAssembler::Result result = assembler_.Next();
    for (int i = 0; i < result.corrupt; ++i) Log(kLogWarning, "network handling: corrupt packet");
    if (result.frame == nullptr) {
      (void)replies_.Flush();  // the read's last frame may have had no reply
      return handled;
    }
    Dispatch(result.frame, result.size);
    ++handled;
  }
}

void CSessionHandler::Dispatch(const std::uint8_t* frame, std::size_t size) {
  const CatalogueEntry* entry = FindEntry(frame[2]);
  if (entry == nullptr) {
    Log(kLogWarning, "network handling: unknown packet");
    return;
  }
  Request request;
  request.type = entry->type;
  request.payload = std::span<const std::uint8_t>(FramePayload(frame), FramePayloadLength(frame));
  if (RequestHasBulkBlock(request.type, request.payload.size()) &&
      size >= kFrameOverhead + request.payload.size() + kBulkBlockSize) {
    request.block = FrameBulkBlock(frame);
  }
  // Requests that do not fit are ignored: no reply, nothing logged.
  if (!PayloadFits(entry->payload, request.payload) || !LoginFits(entry->login)) return;
  ProjectFileRequest project_file;
  if (NamesProjectFile(entry->payload)) {
    if (!CheckProjectFile(request, entry->payload, project_file)) return;
    request.project_file = &project_file;
  }
  (this->*entry->handler)(request);
}

bool CSessionHandler::LoginFits(LoginRule rule) const {
  switch (rule) {
    case LoginRule::kNone:
      return true;
    case LoginRule::kClient:
      return client_logged_in_ && project_ != nullptr && user_ != nullptr;
    case LoginRule::kRemote:
      return remote_logged_in_;
    case LoginRule::kClientUnlessServerLogs:
      return server_logs_mode_ || (client_logged_in_ && project_ != nullptr && user_ != nullptr);
  }
  return false;
}

bool CSessionHandler::SendReply(PacketType type, std::span<const std::uint8_t> payload) {
  const std::size_t size = BuildReply(type, payload, send_buffer_);
  return size != 0 && SendFrame(size);
}

bool CSessionHandler::SendFrame(std::size_t size) {
  return replies_.Put(std::span<const std::uint8_t>(send_buffer_, size),
                      assembler_.HasMoreInRead());
}

platform::Clock::SteadyTime CSessionHandler::Now() const {
  return values_.clock != nullptr ? values_.clock->Steady() : std::chrono::steady_clock::now();
}

void CSessionHandler::Log(int level, std::string text) const {
  if (values_.log == nullptr || !AdmitLine(level)) return;
  values_.log->Log(level, std::move(text));
}

void CSessionHandler::Logf(int level, const char* format, ...) const {
  if (!HasLogWindow() || !AdmitLine(level)) return;
  va_list args;
  va_start(args, format);
  std::string text = StringPrintfV(format, args);
  va_end(args);
  values_.log->Log(level, std::move(text));
}

bool CSessionHandler::AdmitLine(int level) const {
  if (level != kLogError && level != kLogWarning) return true;
  const platform::Clock::SteadyTime now = Now();
  ReportSuppressed(log_burst_.TakeEnded(now));
  return log_burst_.Admit(now);
}

void CSessionHandler::ReportSuppressed(std::uint64_t count) const {
  if (count == 0 || values_.log == nullptr) return;
  values_.log->Log(kLogWarning,
                   StringPrintf(kSuppressedLinesFormat, static_cast<unsigned long long>(count),
                                peer_address_.c_str(), peer_port_));
}

bool CSessionHandler::HasLogWindow() const {
  return values_.log != nullptr && values_.log->HasWindow();
}

void CSessionHandler::WriteUserActivity(const std::string& text) const {
  if (!values_.log_user_activity || values_.clock == nullptr) return;
  kestrel::WriteUserActivity(*values_.clock, text);
}

void CSessionHandler::RefuseName(PacketType type) {
  Logf(kLogWarning, "network handling: refused file name in packet 0x%02X from IP %s at Port %d",
       static_cast<unsigned>(type), peer_address_.c_str(), peer_port_);
}

bool CSessionHandler::PostToMainWindow(std::uint32_t id,
                                       std::unique_ptr<platform::MessageRecord> record) const {
  if (values_.main_window == nullptr) return false;
  platform::Message message;
  message.id = id;
  message.record = std::move(record);
  return values_.main_window->Post(std::move(message));
}

bool CSessionHandler::DecryptRecord(const Request& request, std::size_t strings, std::size_t fixed,
                                    RequestRecord& out) {
  const std::size_t plain = DecryptBuffer(cipher_.With(session_key_), request.payload.data(),
                                          request.payload.size(), record_plain_);
  return out.Parse(record_plain_, plain, strings, fixed);
}

void CSessionHandler::RetireSessionKey() {
  MakeSessionKey(session_key_);
  project_ = nullptr;
  user_ = nullptr;
  SetLoggedIn(false, false);
}

void CSessionHandler::SetLoggedIn(bool client, bool remote) {
  const bool was = authenticated();
  client_logged_in_ = client;
  remote_logged_in_ = remote;
  if (login_observer_ && authenticated() != was) login_observer_(authenticated());
}

void CSessionHandler::OnPing(const Request&) {
  if (SendReply(PacketType::kPing, kReplyEcho)) {
    Logf(kLogInfo, "Ping handled from IP %s at Port %d", peer_address_.c_str(), peer_port_);
  }
}

void CSessionHandler::OnScanResultChanged(const Request&) {
  const std::uint8_t answer = user_->scan_result_changed.load() ? kReplyYes : kReplyNo;
  SendReply(PacketType::kScanResultChanged, std::span<const std::uint8_t>(&answer, 1));
}

void CSessionHandler::OnTransferReady(const Request&) {
  const std::uint8_t answer = ready_ ? kReplyYes : kReplyNo;
  SendReply(PacketType::kTransferReady, std::span<const std::uint8_t>(&answer, 1));
}

void CSessionHandler::OnConnectionEnd() {
  assert(std::this_thread::get_id() == owner_);
  ReportSuppressed(log_burst_.TakeAll());
  assembler_.Reset();
  replies_.Detach();
  CloseDownload();
  AbandonUpload();
  // The connection's archives: the last login's (earlier logins removed
  // theirs when they ended) and the remote tool's upload archive.
  RemoveLoginArchive();
  platform::RemoveIfExists(RemoteArchivePath());
  if (client_logged_in_ && project_ != nullptr && user_ != nullptr) {
    WriteUserActivity(StringPrintf("User %s logged out on project %s from IP %s at Port %d",
                                   user_->username.c_str(), project_->projectname.c_str(),
                                   peer_address_.c_str(), peer_port_));
  }
  RetireSessionKey();
  // The server-logs archive is one file for the whole server: only the
  // session whose build is still in place removes it, so another remote
  // tool's archive is never taken away by an unrelated connection ending.
  ServerLogsArchive::RemoveIfCurrent(server_logs_build_);
  server_logs_build_ = 0;
  server_logs_mode_ = false;
}

SessionFactory MakeSessionFactory(const SessionContext& context) {
  return [context] { return std::make_unique<CSessionHandler>(context); };
}

}  // namespace kestrel
