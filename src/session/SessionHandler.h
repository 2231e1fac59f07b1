#pragma once
// CSessionHandler: the protocol side of one client connection. The slot
// thread hands it every read; it puts frames together, checks frame, payload
// shape and login once against the packet catalogue, then calls the request
// handler, which answers on the same connection with one reply per frame.
// Request groups live in their own units: SessionHandler.cpp (core, ping,
// yes/no queries, connection end), KeyLogin.cpp, Download.cpp, Upload.cpp,
// DeletePassword.cpp, RemoteAdmin.cpp; the catalogue table is
// PacketCatalogue.cpp, and the one check of every request that names a
// project file is ProjectFileCheck.cpp. The replies of a read that holds
// several frames (a pipelining peer) leave together (ReplyGather).
//
// Threads: built, used and destroyed on its connection slot's thread only.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "logging/LogBurstLimit.h"
#include "net/SessionInterface.h"
#include "session/FrameAssembler.h"
#include "session/PacketCatalogue.h"
#include "session/ReplyGather.h"
#include "session/RequestRecord.h"
#include "session/SessionContext.h"
#include "session/SessionKey.h"
#include "session/UploadLimits.h"
#include "session/UploadWriter.h"
#include "support/FileNeu.h"
#include "support/Rijndael.h"
#include "support/StreamingPacker.h"
#include "support/ZipArchive.h"

namespace kestrel {

class CSessionHandler final : public ISessionHandler {
 public:
  // context: copied; its pointers are borrowed (see SessionContext).
  explicit CSessionHandler(const SessionContext& context);
  ~CSessionHandler() override;
  CSessionHandler(const CSessionHandler&) = delete;
  CSessionHandler& operator=(const CSessionHandler&) = delete;

  void OnConnection(CSocketClass* connection, int thread_number) override;
  std::size_t OnReceive(const std::uint8_t* buffer, std::size_t bytes) override;
  bool authenticated() const override { return client_logged_in_ || remote_logged_in_; }
  void SetLoginObserver(LoginObserver observer) override { login_observer_ = std::move(observer); }
  void OnConnectionEnd() override;

  bool client_logged_in() const { return client_logged_in_; }

 private:
  using Handler = void (CSessionHandler::*)(const Request&);
  struct CatalogueEntry {
    PacketType type;
    PayloadRule payload;
    LoginRule login;
    Handler handler;
  };
  static const CatalogueEntry kCatalogue[];
  static const CatalogueEntry* FindEntry(std::uint8_t type);

  // Core.
  void Dispatch(const std::uint8_t* frame, std::size_t size);
  bool LoginFits(LoginRule rule) const;
  bool SendReply(PacketType type, std::span<const std::uint8_t> payload);
  bool SendAccepted(PacketType type) { return SendReply(type, kReplyAccepted); }
  // send_buffer_[0, size): at once in one send, or gathered with the other
  // replies of the read (ReplyGather).
  bool SendFrame(std::size_t size);
  // Warning and Error lines pass the connection's burst limit (LogBurstLimit).
  void Log(int level, std::string text) const;
  void Logf(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // False when the line is suppressed; first reports a passed burst.
  bool AdmitLine(int level) const;
  void ReportSuppressed(std::uint64_t count) const;
  platform::Clock::SteadyTime Now() const;
  bool HasLogWindow() const;
  void WriteUserActivity(const std::string& text) const;
  void RefuseName(PacketType type);
  // The check of every request that names a project file (ProjectFileCheck.cpp):
  // record, names, rights and links; false when the request is ignored or
  // refused (no reply). out: filled for the handler.
  bool CheckProjectFile(const Request& request, PayloadRule rule, ProjectFileRequest& out);
  enum class Refusal { kName, kRights, kLink };
  // One Warning naming user, request, folder and address.
  void RefuseProjectFile(PacketType type, std::string_view folder, Refusal reason);
  // Posts a message with its record to the main window (which frees it).
  bool PostToMainWindow(std::uint32_t id, std::unique_ptr<platform::MessageRecord> record) const;
  // Decrypts the request's payload with the session key and parses it.
  bool DecryptRecord(const Request& request, std::size_t strings, std::size_t fixed,
                     RequestRecord& out);
  void RetireSessionKey();  // new random key; nobody logged in
  // The one place the login state changes; tells the observer first.
  void SetLoggedIn(bool client, bool remote);
  void OnPing(const Request& request);
  void OnScanResultChanged(const Request& request);
  void OnTransferReady(const Request& request);

  // Key exchange and logins (KeyLogin.cpp).
  struct FoundUser {
    ProjectRecord* project = nullptr;  // borrowed from values_.config
    UserRecord* user = nullptr;        // null when nobody matched
    std::size_t index = 0;             // of user in project->users
  };
  // The first user, in configuration order, of a project of this name whose
  // name and password digest match (login and user password change).
  FoundUser FindUser(std::string_view projectname, std::string_view username,
                     std::string_view password) const;
  void OnGetSessionKey(const Request& request);
  void OnLogin(const Request& request);
  void OnLogout(const Request& request);
  void OnRemoteLogin(const Request& request);
  // Failed authentication per source (AuthPenalties): while a penalty runs,
  // login and password-change requests are ignored unchecked.
  bool Penalised() const;
  // Counts a failed `request` for `who` (written in the Warning line); true
  // when this source's lines are due now.
  bool RecordAuthFailure(const char* request, std::string_view who);
  void RecordAuthSuccess();

  // Downloads (Download.cpp).
  void OnScanResultRequest(const Request& request);
  void OnDownloadRequest(const Request& request);
  void OnNextDownloadChunk(const Request& request);
  // source: open for reading, or closed for an archive without entries.
  void PackIntoTransferArchive(platform::File& source);
  // Ends the current download and upload and clears the way for a new
  // transfer archive; its path.
  std::string NewTransferArchive();
  std::string ClientArchivePath() const;
  void CloseDownload();
  // The current login ends: its transfer archive goes (it is never used again).
  void RemoveLoginArchive();

  // Uploads (Upload.cpp).
  void OnUploadRequest(const Request& request);
  void OnUploadData(const Request& request);
  void AppendUploadChunk(const Request& request);
  // How an upload's bytes are taken: into the archive file, extracted at the
  // end; or unpacked into staging while they arrive, on the session thread or
  // on the writer's own.
  enum class UploadFeed { kArchiveFile, kUnpackInline, kUnpackQueued };
  // Opens upload_.archive anew for an accepted request with these limits,
  // and starts the writer.
  void StartUpload(const UploadLimits& limits, UploadFeed feed);
  // The upload goes on, but nothing of it is written or placed any more: its
  // archive is closed and removed at once.
  void SpoilUpload();
  // Waits until the writer has taken every archive byte (or spoils the upload).
  void FlushUpload();
  void FinishClientUpload();
  // Closes an upload that has not ended and removes its archive.
  void AbandonUpload();

  // Remote administration transfers (RemoteAdmin.cpp).
  void OnRemoteUploadRequest(const Request& request);
  void FinishRemoteUpload(bool spoiled);
  std::string RemoteArchivePath() const;
  void OnServerLogsRequest(const Request& request);

  // Delete and password changes (DeletePassword.cpp).
  void OnDeleteFile(const Request& request);
  void OnRemotePasswordChange(const Request& request);
  void OnUserPasswordChange(const Request& request);

  // Constant for the handler's life (pointers borrowed from the running
  // server, see SessionContext), and the connection's after OnConnection.
  SessionContext values_;
  CSocketClass* connection_ = nullptr;  // borrowed from the slot
  int thread_number_ = 0;
  std::string peer_address_;
  int peer_port_ = 0;
  std::thread::id owner_;

  // Session state.
  ProjectRecord* project_ = nullptr;  // borrowed from values_.config; null unless logged in
  UserRecord* user_ = nullptr;        // borrowed likewise
  std::size_t user_index_ = 0;        // of user_ in project_->users (its rights' column)
  bool client_logged_in_ = false;     // written by SetLoggedIn only
  bool remote_logged_in_ = false;
  LoginObserver login_observer_;
  bool ready_ = false;             // the prepared download archive is complete
  bool server_logs_mode_ = false;  // the prepared download is the server-logs archive
  // Number of the ".\Temp\serverlogs.zip" build this session made; 0: none.
  std::uint64_t server_logs_build_ = 0;
  std::uint8_t session_key_[kSessionKeySize] = {};
  KeyedCipher cipher_;  // asked for the session key at each use
  FrameAssembler assembler_;
  ReplyGather replies_;
  mutable LogBurstLimit log_burst_;  // counts lines; Log is const for its callers

  CFileNeu download_file_;           // the archive being sent in chunks
  std::uint64_t download_read_ = 0;  // bytes of it sent
  StreamingPacker packer_;           // packs it while it is sent, when started
  bool download_streamed_ = false;   // it was packed while sent
  bool download_ended_ = false;      // its end marker went out
  enum class UploadKind : std::uint8_t {
    kNone,    // no accepted request names a target
    kClient,  // a client's file for its project (folder, file_name)
    kRemote,  // the remote tool's document for ".\Temp" (remote_name)
  };
  // An upload belongs to the login that announced it: its archive, project
  // and user are fixed at the accepted request, and any login attempt or
  // logout drops it (AbandonUpload).
  struct Upload {
    CFileNeu file;                     // the archive being received
    std::string archive;               // its path while the upload has not ended
    std::string folder, file_name;     // announced client target (valid while kind is kClient)
    ProjectTarget target;              // its checked names
    ProjectRecord* project = nullptr;  // who announced it (valid while kind is kClient)
    UserRecord* user = nullptr;
    std::string remote_name;  // announced document name (valid while kind is kRemote)
    platform::FileTime file_time = 0;
    UploadLimits limits;         // fixed at the accepted request
    std::uint64_t received = 0;  // archive bytes taken so far
    std::uint64_t next_space_check = 0;
    UploadKind kind = UploadKind::kNone;
    bool spoiled = false;  // a chunk was refused or too much came: nothing will be placed
    // A client upload is unpacked into the staging file while it arrives,
    // instead of going to the archive file (which gets it all where the
    // extractor declines its head).
    std::unique_ptr<StreamExtractor> unpacking;
    // Writes file and feeds unpacking (declared after both: it borrows them).
    UploadWriter writer;
  } upload_;

  // Buffers reused for every request; nothing is allocated per chunk.
  std::uint8_t record_plain_[kMaxPayload + CRijndael::kBlockSize] = {};
  std::uint8_t chunk_plain_[kBulkBlockSize] = {};
  std::uint8_t send_buffer_[kBulkDownloadFrameSize] = {};
};

// The real session handler for every slot thread, each with a copy of context.
SessionFactory MakeSessionFactory(const SessionContext& context);

}  // namespace kestrel
