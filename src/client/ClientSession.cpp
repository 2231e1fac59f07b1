#include "client/ClientSession.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "client/ArchiveSize.h"
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
// Chunk requests sent in one call (5 bytes each).
constexpr std::size_t kRequestBatch = 256;
// Upload chunks sent in one call.
constexpr std::size_t kChunkBatch = 32;
// Local file reads and writes go through buffers of this size.
constexpr std::size_t kFileBuffer = 256 * 1024;

// A pipelined loop tops its window up once this many requests are missing:
// often enough that the window stays nearly full (waiting until half of it
// has drained leaves a quarter of it unused on a long round trip), seldom
// enough that one send carries many requests.
constexpr std::size_t TopUpStep(std::size_t window, std::size_t batch) {
  return std::clamp<std::size_t>(window / 8, 1, batch);
}

bool IsAccepted(const std::optional<ReplyView>& reply) {
  return reply && reply->payload.size() == sizeof kReplyAccepted &&
         std::equal(reply->payload.begin(), reply->payload.end(), kReplyAccepted);
}

// Writes archive bytes into a new local file through one buffer (made at Open).
class ArchiveWriter {
 public:
  // Creates (replaces) the file; false when it cannot.
  [[nodiscard]] bool Open(std::string_view path) {
    ok_ = out_.Open(path, platform::File::kWrite | platform::File::kCreate) == 0;
    if (ok_) buffer_.resize(kFileBuffer);
    return ok_;
  }
  // False once a write failed.
  [[nodiscard]] bool Write(std::span<const std::uint8_t> bytes) {
    while (ok_ && !bytes.empty()) {
      if (held_ == buffer_.size()) Flush();
      const std::size_t n = std::min(bytes.size(), buffer_.size() - held_);
      std::memcpy(buffer_.data() + held_, bytes.data(), n);
      held_ += n;
      bytes = bytes.subspan(n);
    }
    return ok_;
  }
  // Writes what is held and closes the file; false when any write or the
  // close failed.
  [[nodiscard]] bool Close() {
    Flush();
    const bool closed = out_.Close() == 0;
    return ok_ && closed;
  }

 private:
  void Flush() {
    if (ok_ && held_ > 0) ok_ = out_.Write(buffer_.data(), held_) == 0;
    held_ = 0;
  }

  platform::File out_;
  std::vector<std::uint8_t> buffer_;
  std::size_t held_ = 0;
  bool ok_ = false;  // open, and every write so far succeeded
};

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

// Reads a file in 1280-byte pieces through one buffer.
class PieceReader {
 public:
  // packer (borrowed, may be null): the archive is still being packed into
  // `in`; reads wait for its bytes and never reach past them.
  explicit PieceReader(platform::File& in, StreamingPacker* packer = nullptr)
      : in_(in), packer_(packer), buffer_(kFileBuffer) {}
  // The next piece, empty at the end; false on a read or packing error.
  bool Next(std::span<const std::uint8_t>& piece) {
    if (end_ - begin_ < kBulkBlockSize && !at_end_ && !Refill()) return false;
    const std::size_t n = std::min(kBulkBlockSize, end_ - begin_);
    piece = std::span<const std::uint8_t>(buffer_.data() + begin_, n);
    begin_ += n;
    return true;
  }

 private:
  bool Refill() {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < buffer_.size()) {
      std::size_t want = buffer_.size() - end_;
      if (packer_ != nullptr) {
        // Waits only for the piece that is missing, then takes what is there.
        if (end_ >= kBulkBlockSize) break;
        const StreamingPacker::Progress packed = packer_->WaitFor(read_ + kBulkBlockSize - end_);
        if (packed.ended && !packed.ok) return false;
        if (!packed.ended) want = std::min<std::uint64_t>(want, packed.bytes - read_);
      }
      const long n = in_.Read(buffer_.data() + end_, want);
      if (n < 0) return false;
      if (n == 0) {
        at_end_ = true;
        break;
      }
      end_ += static_cast<std::size_t>(n);
      read_ += static_cast<std::uint64_t>(n);
    }
    return true;
  }

  platform::File& in_;       // borrowed for the reader's life
  StreamingPacker* packer_;  // likewise, may be null
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  std::uint64_t read_ = 0;  // bytes of the file read
  bool at_end_ = false;
};

ClientSession::ClientSession(ClientConnection& connection, std::string global_key)
    : connection_(connection), global_key_(std::move(global_key)) {}

void ClientSession::set_session_key(const std::uint8_t (&key)[kKeySize]) {
  std::memcpy(key_, key, kKeySize);
}

bool ClientSession::RequestSessionKey() {
  std::uint8_t client_value[kKeySize];
  if (!platform::SecureRandom(client_value, sizeof client_value)) return false;
  const std::optional<ReplyFrame> reply =
      connection_.Request(PacketType::kGetSessionKey, SealKeyRequest(client_value));
  return reply && OpenKeyReply(client_value, reply->payload);
}

std::array<std::uint8_t, ClientSession::kKeySize> ClientSession::SealKeyRequest(
    const std::uint8_t (&client_value)[kKeySize]) {
  const std::string bootstrap = BootstrapKey(global_key_);
  std::array<std::uint8_t, kKeySize> sealed{};
  cipher_.With(reinterpret_cast<const std::uint8_t*>(bootstrap.data()))
      .EncryptBlock(client_value, sealed.data());
  return sealed;
}

bool ClientSession::OpenKeyReply(const std::uint8_t (&client_value)[kKeySize],
                                 std::span<const std::uint8_t> payload) {
  if (payload.size() != kKeySize) return false;
  cipher_.With(client_value).DecryptBlock(payload.data(), key_);
  return true;
}

std::vector<std::uint8_t> ClientSession::SealRecord(std::initializer_list<std::string_view> strings,
                                                    std::span<const std::uint8_t> fixed,
                                                    std::string_view trailing) {
  const std::vector<std::uint8_t> record = ComposeRecord(strings, fixed, trailing);
  if (record.empty() || RoundUpToBlock(record.size()) > kMaxRecord) return {};
  std::vector<std::uint8_t> sealed(RoundUpToBlock(record.size()));
  EncryptBuffer(cipher_.With(key_), record.data(), record.size(), sealed.data());
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

ClientSession::ChunkOutcome ClientSession::TakeChunk(const ReplyView& reply, const ChunkSink& sink,
                                                     std::size_t* n) {
  if (reply.payload.empty()) return ChunkOutcome::kEnd;
  if (reply.payload.size() != kBulkDownloadPayload || reply.block.size() != kBulkBlockSize) {
    return ChunkOutcome::kBad;
  }
  *n = static_cast<std::size_t>(reply.payload[0] << 8 | reply.payload[1]);
  if (*n == 0 || *n > kBulkBlockSize) return ChunkOutcome::kBad;
  DecryptBuffer(cipher_.With(key_), reply.block.data(), RoundUpToBlock(*n), plain_);
  return sink(std::span<const std::uint8_t>(plain_, *n)) ? ChunkOutcome::kData : ChunkOutcome::kBad;
}

bool ClientSession::FetchChunks(const ChunkSink& sink) {
  if (connection_.pipelining()) return FetchChunksPipelined(sink);
  std::uint8_t request[kFrameOverhead];
  BuildRequest(PacketType::kNextDownloadChunk, {}, request);
  for (;;) {
    const std::optional<ReplyView> reply =
        connection_.Exchange(request, PacketType::kNextDownloadChunk);
    if (!reply) return false;
    std::size_t n = 0;
    const ChunkOutcome outcome = TakeChunk(*reply, sink, &n);
    if (outcome != ChunkOutcome::kData) return outcome == ChunkOutcome::kEnd;
  }
}

bool ClientSession::FetchChunksPipelined(const ChunkSink& sink) {
  // After the end marker the server starts the archive again, so requests
  // sent past it are answered with chunks nobody wants: the archive's head
  // tells how many requests reach the end marker, and replies to requests
  // beyond it are read and dropped.
  constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};
  std::uint8_t batch[kRequestBatch * kFrameOverhead];
  for (std::size_t i = 0; i < kRequestBatch; ++i) {
    BuildRequest(PacketType::kNextDownloadChunk, {},
                 std::span<std::uint8_t>(batch + i * kFrameOverhead, kFrameOverhead));
  }
  TransferWindow window(pipeline_.start_window, pipeline_.max_window);
  std::uint64_t limit = kUnbounded;  // requests up to the end marker, once known
  std::uint64_t sent = 0, outstanding = 0;
  bool head_seen = false, one_at_a_time = false, ended = false, failed = false;
  const auto top_up = [&](std::uint64_t want) {
    while (outstanding < want && sent < limit) {
      const std::uint64_t n =
          std::min({want - outstanding, limit - sent, std::uint64_t{kRequestBatch}});
      if (!connection_.SendRaw(std::span<const std::uint8_t>(batch, n * kFrameOverhead))) {
        return false;
      }
      sent += n;
      outstanding += n;
    }
    return true;
  };
  if (!top_up(1)) return false;
  while (outstanding > 0) {
    const std::optional<ReplyView> reply = connection_.NextReply(connection_.reply_timeout());
    if (!reply) {
      connection_.ExpectStrayReplies();
      return false;
    }
    --outstanding;
    window.OnReply(TransferWindow::Clock::now());
    if (ended || failed) continue;  // a surplus reply, or one after a failure
    std::size_t n = 0;
    const ChunkOutcome outcome = reply->type == PacketType::kNextDownloadChunk
                                     ? TakeChunk(*reply, sink, &n)
                                     : ChunkOutcome::kBad;
    if (outcome != ChunkOutcome::kData) {
      (outcome == ChunkOutcome::kEnd ? ended : failed) = true;
      continue;
    }
    if (!head_seen) {
      head_seen = true;
      const std::uint64_t total =
          pipeline_.trust_archive_size
              ? ArchiveSizeFromHead(std::span<const std::uint8_t>(plain_, n))
              : 0;
      if (total > 0) limit = (total + kBulkBlockSize - 1) / kBulkBlockSize + 1;
    }
    if (sent == limit && outstanding == 0) {
      // Longer than its head said (several entries): on one at a time.
      limit = kUnbounded;
      one_at_a_time = true;
    }
    const std::uint64_t want = one_at_a_time ? 1 : window.size();
    if (outstanding + TopUpStep(want, kRequestBatch) <= want && !top_up(want)) {
      connection_.ExpectStrayReplies();
      return false;
    }
  }
  return ended && !failed;
}

TransferResult ClientSession::FetchToFile(std::string_view local_archive,
                                          ProgressReporter& report) {
  ArchiveWriter out;
  if (!out.Open(local_archive)) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  report.Phase(TransferPhase::kMoving);
  bool written = true;
  const bool fetched = FetchChunks([&](std::span<const std::uint8_t> bytes) {
    written = out.Write(bytes);
    if (written) report.AddArchiveBytes(bytes);
    return written;
  });
  if (!out.Close()) return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
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
  report.Phase(TransferPhase::kMoving);
  // The entry is unpacked while the chunks arrive. An archive the extractor
  // declines goes to local_archive whole (the bytes it saw first) and is
  // extracted from there; after a failure the chunks are still read to the
  // end, as when the whole archive is fetched first.
  StreamExtractor stream(local_target);
  ArchiveWriter spill;
  bool spilling = false, written = true;
  const bool fetched = FetchChunks([&](std::span<const std::uint8_t> bytes) {
    if (spilling) {
      written = spill.Write(bytes);
    } else if (!stream.Feed(bytes) && stream.declined()) {
      spilling = true;
      written = spill.Open(local_archive) && spill.Write(stream.held());
    }
    if (written) report.AddArchiveBytes(bytes);
    return written;
  });
  ExtractResult extracted;
  if (spilling) {
    if (!spill.Close()) {
      platform::RemoveIfExists(local_archive);
      return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
    }
    if (!fetched) {
      platform::RemoveIfExists(local_archive);
      return Failed(TransferStatus::kNoReply, TransferStep::kChunks);
    }
    report.Phase(TransferPhase::kFinishing);
    extracted = ExtractArchive(local_archive, local_target);
    platform::RemoveIfExists(local_archive);
  } else {
    if (!fetched) return Failed(TransferStatus::kNoReply, TransferStep::kChunks);
    report.Phase(TransferPhase::kFinishing);
    extracted = stream.Finish();
  }
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

std::size_t ClientSession::BuildUploadChunk(std::span<const std::uint8_t> archive_bytes,
                                            std::span<std::uint8_t> out) {
  if (archive_bytes.empty() || archive_bytes.size() > kBulkBlockSize) return 0;
  const std::size_t plain = archive_bytes.size();
  const std::size_t sealed =
      EncryptBuffer(cipher_.With(key_), archive_bytes.data(), plain, sealed_);
  const std::uint8_t header[kBulkUploadPayload] = {
      static_cast<std::uint8_t>(sealed >> 8), static_cast<std::uint8_t>(sealed & 0xFF),
      static_cast<std::uint8_t>(plain >> 8), static_cast<std::uint8_t>(plain & 0xFF),
      kUploadDataMarker};
  return BuildBulkRequest(PacketType::kUploadChunk, header,
                          std::span<const std::uint8_t>(sealed_, sealed), out);
}

bool ClientSession::SendUploadChunk(std::span<const std::uint8_t> archive_bytes) {
  const std::size_t size = BuildUploadChunk(archive_bytes, frame_);
  return size != 0 && IsAccepted(connection_.Exchange(std::span<const std::uint8_t>(frame_, size),
                                                      PacketType::kUploadChunk));
}

bool ClientSession::SendUploadEnd() {
  return IsPayload(connection_.Request(PacketType::kUploadChunk), kReplyAccepted);
}

TransferResult ClientSession::SendUpload(std::string_view folder, std::string_view file,
                                         std::string_view local_archive,
                                         platform::FileTime last_write, std::int64_t file_size,
                                         ProgressReporter& report, StreamedPacking* streamed) {
  std::uint8_t fixed[kUploadFixedPartSize];
  WriteUploadFixedPart(UploadFixedPart{last_write, file_size}, fixed);
  const TransferStatus asked =
      AskRefusable(PacketType::kUploadRequest, SealRecord({folder, file}, fixed));
  if (asked != TransferStatus::kDone) return Failed(asked, TransferStep::kRequest);
  return SendArchive(local_archive, report, streamed);
}

TransferStatus ClientSession::SendChunksPipelined(PieceReader& reader, ProgressReporter& report) {
  TransferWindow window(pipeline_.start_window, pipeline_.max_window);
  std::vector<std::uint8_t> batch(kChunkBatch * kBulkUploadFrameSize);
  std::size_t batched = 0;  // bytes of batch in use
  std::size_t outstanding = 0;
  bool at_end = false;
  const auto flush = [&] {
    const bool sent =
        batched == 0 || connection_.SendRaw(std::span<const std::uint8_t>(batch.data(), batched));
    batched = 0;
    return sent;
  };
  const auto acknowledged = [&](const std::optional<ReplyView>& reply) {
    if (!IsAccepted(reply)) return false;
    --outstanding;
    window.OnReply(TransferWindow::Clock::now());
    return true;
  };
  for (;;) {
    if (!at_end && outstanding + TopUpStep(window.size(), kChunkBatch) <= window.size()) {
      while (!at_end && outstanding < window.size()) {
        std::span<const std::uint8_t> piece;
        if (!reader.Next(piece)) {
          if (outstanding > 0) connection_.ExpectStrayReplies();
          return TransferStatus::kLocal;
        }
        if (piece.empty()) {
          at_end = true;
          break;
        }
        batched += BuildUploadChunk(piece, std::span<std::uint8_t>(batch).subspan(batched));
        ++outstanding;
        report.Add(piece.size());
        at_end = piece.size() < kBulkBlockSize;
        if (batched == batch.size() && !flush()) return TransferStatus::kNoReply;
      }
      if (!flush()) return TransferStatus::kNoReply;
    }
    if (outstanding == 0) return TransferStatus::kDone;
    bool ok = acknowledged(connection_.NextReply(connection_.reply_timeout()));
    while (ok && outstanding > 0) {
      std::optional<ReplyView> more = connection_.BufferedReply();
      if (!more) break;
      ok = acknowledged(more);
    }
    if (!ok) {
      connection_.ExpectStrayReplies();
      return TransferStatus::kNoReply;
    }
  }
}

TransferResult ClientSession::SendArchive(std::string_view local_archive, ProgressReporter& report,
                                          StreamedPacking* streamed) {
  platform::File in;
  platform::DirEntry archive;
  if (in.Open(local_archive, platform::File::kRead) != 0 ||
      platform::Stat(local_archive, archive) != 0) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  // A streamed archive's size is known only at its end.
  report.Phase(TransferPhase::kMoving, streamed != nullptr ? 0 : archive.size);
  PieceReader reader(in, streamed != nullptr ? &streamed->packer : nullptr);
  TransferStatus sent = TransferStatus::kDone;
  if (connection_.pipelining()) {
    sent = SendChunksPipelined(reader, report);
  } else {
    for (;;) {
      std::span<const std::uint8_t> piece;
      if (!reader.Next(piece)) {
        sent = TransferStatus::kLocal;
        break;
      }
      if (piece.empty()) break;
      const std::size_t size = BuildUploadChunk(piece, frame_);
      if (!IsAccepted(connection_.Exchange(std::span<const std::uint8_t>(frame_, size),
                                           PacketType::kUploadChunk))) {
        sent = TransferStatus::kNoReply;
        break;
      }
      report.Add(piece.size());
      if (piece.size() < kBulkBlockSize) break;
    }
  }
  if (sent == TransferStatus::kLocal) {
    return Failed(TransferStatus::kLocal, TransferStep::kChunks, local_archive);
  }
  if (sent != TransferStatus::kDone) return Failed(sent, TransferStep::kChunks);
  // A source that changed while it was packed is not placed: the end is not sent.
  if (streamed != nullptr && !streamed->unchanged()) {
    return Failed(TransferStatus::kChanged, TransferStep::kLocalFile, streamed->source);
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
  const auto same_as_before = [&](const platform::DirEntry& after) {
    return after.size == before.size && after.last_write == before.last_write;
  };
  const auto unchanged = [&] {
    platform::DirEntry after;
    return platform::Stat(local_source, after) == 0 && same_as_before(after);
  };
  const platform::FileTime sent_time = announce.value_or(before.last_write);
  TransferResult result;
  if (connection_.pipelining() && before.size >= kStreamedPackingFrom) {
    // Our own server: the archive is packed while its chunks go out.
    StreamedPacking streamed;
    streamed.source = local_source;
    streamed.unchanged = unchanged;
    platform::File source;
    if (source.Open(local_source, platform::File::kRead) != 0 ||
        !streamed.packer.Start(local_archive, file, std::move(source), nullptr)) {
      result = Failed(TransferStatus::kLocal, TransferStep::kLocalFile, local_source);
    } else {
      result = SendUpload(folder, file, local_archive, sent_time,
                          static_cast<std::int64_t>(before.size), report, &streamed);
      result.sent_time = sent_time;
    }
    streamed.packer.Stop();
    platform::RemoveIfExists(local_archive);
    return result;
  }
  report.Phase(TransferPhase::kPacking);
  const bool packed = PackFile(local_archive, local_source, file);
  platform::DirEntry after;
  if (!packed || platform::Stat(local_source, after) != 0) {
    result = Failed(TransferStatus::kLocal, TransferStep::kLocalFile, local_source);
  } else if (!same_as_before(after)) {
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
