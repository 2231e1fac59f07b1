#pragma once
// What a client program or the remote administration tool does over one
// connection once it needs the session key: the key exchange, logins and
// logout, the scan-result and file downloads with their chunk loop, uploads,
// deletes, password changes, and the remote tool's document upload and
// server-logs download. Names travel in encrypted request records
// (net/RequestLayout.h); file data in encrypted 1280-byte chunks.
//
// The server answers a request it refuses (a wrong login, a name or folder it
// will not serve) with silence. The whole-file operations (Download, Upload,
// Delete) tell such a refusal from a lost server: after kSilenceWait without
// a reply they ping, and a server that answers the ping refused the request.
//
// Against a server that takes requests back to back (the connection's
// probe), the chunk loops keep a window of requests in flight
// (TransferWindow); otherwise they send one request and wait for its reply.
//
// Threads: used by one thread at a time, like its connection.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientConnection.h"
#include "client/Transfer.h"
#include "client/TransferWindow.h"
#include "platform/Clock.h"
#include "support/Rijndael.h"
#include "support/StreamingPacker.h"

namespace kestrel::client {

enum class PasswordChange { kChanged, kRefused, kNoReply };

class PieceReader;

// An upload archive packed while its chunks are sent (our own server only).
struct StreamedPacking {
  std::string_view source;          // the local file being packed
  std::function<bool()> unchanged;  // it is as it was when packing began
  StreamingPacker packer;
};

// How the chunk loops pipeline (when the connection found that they may).
struct PipelineSettings {
  std::size_t start_window = TransferWindow::kStart;
  std::size_t max_window = TransferWindow::kMax;
  // A download asks for no more chunks than the archive's head announces,
  // so no request outlives the end marker. Off: the surplus requests are
  // answered and their replies dropped.
  bool trust_archive_size = true;
};

class ClientSession {
 public:
  static constexpr std::size_t kKeySize = 16;
  static constexpr std::size_t kMaxRecord = 240;  // largest multiple of 16 within 255
  // How long silence is awaited before it counts as a refusal (at most the
  // connection's reply time-out): the server answers these requests at once.
  static constexpr std::chrono::milliseconds kSilenceWait{5000};
  // The server builds an archive, or places an upload, before it answers the
  // next request: those waits are this many reply time-outs long.
  static constexpr int kSlowStepFactor = 10;

  // connection: borrowed, must outlive the session and be connected.
  ClientSession(ClientConnection& connection, std::string global_key);
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // 0x10: sends a fresh random value sealed with the bootstrap key and keeps
  // the session key the server returns. False when no valid reply came.
  bool RequestSessionKey();
  // 0x11; true on 55 33. Silence (a refused login) gives false.
  bool Login(std::string_view user, std::string_view password, std::string_view project,
             std::string_view client_name = "client",
             std::string_view client_hash = "00000000000000000000000000000000");
  bool RemoteLogin(std::string_view password);  // 0x13
  bool Logout();                                // 0x12, echo CC 33

  // 0x20 / 0x22: acknowledged requests; the archive is then prepared.
  bool RequestScanResult();
  bool RequestDownload(std::string_view folder, std::string_view file);
  // 0x30 asked until yes, for at most kSlowStepFactor reply time-outs. False
  // when no yes came (connection().connected() tells a lost connection).
  bool WaitTransferReady();
  using ChunkSink = std::function<bool(std::span<const std::uint8_t>)>;
  // 0x31 until the end marker; each chunk's plaintext goes to sink (false
  // from the sink stops). True when the end marker arrived.
  bool FetchChunks(const ChunkSink& sink);

  // Whole files. Paths are system paths; local_archive is where the archive
  // is staged (removed afterwards). observer: borrowed for the call, may be null.
  //
  // Download: request, wait until ready, the chunks' entry unpacked onto
  // local_target while they arrive (replaced only by a complete, checked
  // copy); local_archive is used only for an archive of another shape.
  // The target gets remote_time as last-write time when given, else the
  // archive entry's time.
  TransferResult Download(std::string_view folder, std::string_view file,
                          std::string_view local_archive, std::string_view local_target,
                          std::optional<platform::FileTime> remote_time,
                          TransferObserver* observer = nullptr);
  // The user's scan result, the same way (no time is set).
  TransferResult DownloadScanResult(std::string_view local_archive, std::string_view local_target,
                                    TransferObserver* observer = nullptr);
  // Upload: packs local_source (entry named like the file) and announces
  // `announce`, else the source's own last-write time, with its size; then
  // the chunks and the end, which the server answers once the file is
  // placed. A source that changes while it is packed is not sent (kChanged).
  // The time announced is in sent_time.
  TransferResult Upload(std::string_view local_source, std::string_view folder,
                        std::string_view file, std::string_view local_archive,
                        std::optional<platform::FileTime> announce,
                        TransferObserver* observer = nullptr);
  // 0x34; the server acknowledges also files that are not there.
  TransferResult Delete(std::string_view folder, std::string_view file);

  // The same as plain yes/no, for tests and tools.
  bool DownloadFile(std::string_view folder, std::string_view file, std::string_view local_archive,
                    std::string_view local_target);
  bool UploadFile(std::string_view folder, std::string_view file, std::string_view local_source,
                  platform::FileTime last_write, std::string_view local_archive);
  // An archive that already exists (any entries) as the upload of folder\file.
  bool UploadArchive(std::string_view folder, std::string_view file, std::string_view local_archive,
                     platform::FileTime last_write, std::int64_t file_size);

  // Remote tool (after RemoteLogin). 0x24: the server builds its logs archive.
  bool RequestServerLogs();
  // Request, wait, then the archive's bytes to sink, or into the file
  // local_archive (a system path; removed again when the download fails).
  bool ServerLogs(const ChunkSink& sink);
  bool ServerLogs(std::string_view local_archive);
  TransferResult DownloadServerLogs(std::string_view local_archive,
                                    TransferObserver* observer = nullptr);
  // 0x23: announces a document for the server's temporary folder.
  bool RequestRemoteUpload(std::string_view announced_name);
  // 0x23, then an existing archive as 0x33 chunks and the 0x33 end.
  bool RemoteUploadArchive(std::string_view local_archive, std::string_view announced_name);
  // Packs local_source as an archive (entry announced_name) at local_archive,
  // by default local_source + ".zip" (removed afterwards), and uploads it.
  bool RemoteUpload(std::string_view local_source, std::string_view announced_name,
                    std::string_view local_archive = {});

  bool DeleteFile(std::string_view folder, std::string_view file);  // 0x34
  PasswordChange ChangeUserPassword(std::string_view old_password, std::string_view new_password,
                                    std::string_view user, std::string_view project);  // 0x41
  PasswordChange ChangeRemotePassword(std::string_view old_password,
                                      std::string_view new_password);  // 0x40

  // Building blocks, also for tests that craft odd requests.
  // Length bytes, fixed part, strings, trailing bytes; encrypted with the
  // session key. Empty when the record would exceed kMaxRecord.
  std::vector<std::uint8_t> SealRecord(std::initializer_list<std::string_view> strings,
                                       std::span<const std::uint8_t> fixed = {},
                                       std::string_view trailing = {});
  // The key request's payload: client_value sealed with the bootstrap key.
  std::array<std::uint8_t, kKeySize> SealKeyRequest(const std::uint8_t (&client_value)[kKeySize]);
  // Keeps the session key of a key reply's payload, opened with the same
  // client_value; false (key unchanged) unless the payload has 16 bytes.
  bool OpenKeyReply(const std::uint8_t (&client_value)[kKeySize],
                    std::span<const std::uint8_t> payload);
  // One upload chunk of up to 1280 archive bytes.
  bool SendUploadChunk(std::span<const std::uint8_t> archive_bytes);
  bool SendUploadEnd();
  const std::uint8_t* session_key() const { return key_; }
  void set_session_key(const std::uint8_t (&key)[kKeySize]);
  ClientConnection& connection() { return connection_; }
  void set_pipeline(const PipelineSettings& settings) { pipeline_ = settings; }

 private:
  enum class ChunkOutcome { kData, kEnd, kBad };
  // One reply to 0x31: its plaintext (*n bytes in plain_) to sink.
  ChunkOutcome TakeChunk(const ReplyView& reply, const ChunkSink& sink, std::size_t* n);
  bool FetchChunksPipelined(const ChunkSink& sink);
  // One upload chunk frame of up to 1280 archive bytes into out; its size.
  std::size_t BuildUploadChunk(std::span<const std::uint8_t> archive_bytes,
                               std::span<std::uint8_t> out);
  // The archive's chunks with a window of unacknowledged ones.
  TransferStatus SendChunksPipelined(PieceReader& reader, ProgressReporter& report);
  bool Accepted(PacketType type, std::span<const std::uint8_t> payload);
  // A request the server refuses with silence: kDone, kRefused or kNoReply.
  TransferStatus AskRefusable(PacketType type, std::span<const std::uint8_t> payload);
  // After an acknowledged request: 0x30 until the archive is ready.
  TransferResult AwaitArchive(ProgressReporter& report);
  // After an acknowledged request: wait until ready, then the chunks, whose
  // entry is unpacked onto local_target as they arrive (StreamExtractor). An
  // archive it declines is staged at local_archive, extracted from there and
  // removed afterwards.
  TransferResult FetchAndExtract(std::string_view local_archive, std::string_view local_target,
                                 ProgressReporter& report);
  // The chunk loop into a new file at local_archive.
  TransferResult FetchToFile(std::string_view local_archive, ProgressReporter& report);
  // 0x32 with this fixed part, then SendArchive.
  TransferResult SendUpload(std::string_view folder, std::string_view file,
                            std::string_view local_archive, platform::FileTime last_write,
                            std::int64_t file_size, ProgressReporter& report,
                            StreamedPacking* streamed = nullptr);
  // The archive as 0x33 chunks, then the 0x33 end (awaited while the server
  // places the file). streamed: the archive is still being packed.
  TransferResult SendArchive(std::string_view local_archive, ProgressReporter& report,
                             StreamedPacking* streamed = nullptr);
  PasswordChange ReadPasswordReply(PacketType type, std::span<const std::uint8_t> payload);

  ClientConnection& connection_;
  std::string global_key_;
  std::uint8_t key_[kKeySize] = {};
  KeyedCipher cipher_;  // asked for its key at each use
  PipelineSettings pipeline_;
  std::uint8_t plain_[1280] = {};
  std::uint8_t sealed_[1280] = {};
  std::uint8_t frame_[kBulkUploadFrameSize] = {};
};

}  // namespace kestrel::client
