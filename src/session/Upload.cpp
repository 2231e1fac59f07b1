// Uploads: the upload request, the chunks and the upload end that places the
// received file in the project (the remote tool's request and placement are
// in RemoteAdmin.cpp).
#include <memory>
#include <optional>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHandler.h"
#include "session/TransferStaging.h"
#include "support/TempNames.h"

namespace kestrel {
namespace {

// Fields of an upload chunk's payload.
struct ChunkHeader {
  std::size_t cipher_length;  // bytes to decrypt: a multiple of 16, at most 1280
  std::size_t plain_length;   // bytes of the archive among them
  std::uint8_t marker;        // 0xCC for a data block
};

ChunkHeader ReadChunkHeader(std::span<const std::uint8_t> payload) {
  return ChunkHeader{static_cast<std::size_t>(payload[0] << 8 | payload[1]),
                     static_cast<std::size_t>(payload[2] << 8 | payload[3]), payload[4]};
}

bool ChunkFits(const ChunkHeader& h) {
  return h.cipher_length <= kBulkBlockSize && h.cipher_length % CRijndael::kBlockSize == 0 &&
         h.plain_length <= h.cipher_length;
}

}  // namespace

void CSessionHandler::AbandonUpload() {
  upload_.writer.Abandon();
  upload_.unpacking.reset();
  if (upload_.file.IsOpen()) upload_.file.Close();
  if (!upload_.archive.empty()) platform::RemoveIfExists(upload_.archive);
  upload_.archive.clear();
  upload_.project = nullptr;
  upload_.user = nullptr;
  upload_.kind = UploadKind::kNone;
  upload_.spoiled = false;
}

void CSessionHandler::StartUpload(const UploadLimits& limits, UploadFeed feed) {
  if (platform::Exists(upload_.archive)) (void)CFileNeu::Remove(upload_.archive);  // reported
  // An archive that cannot be created still gets its chunks acknowledged, but
  // nothing is placed at the end (an old archive must never be extracted).
  upload_.spoiled = !upload_.file.Open(upload_.archive, CFileNeu::kWrite | CFileNeu::kCreate);
  upload_.limits = limits;
  upload_.received = 0;
  upload_.next_space_check = kSpaceCheckBytes;
  if (upload_.spoiled) return;
  if (feed != UploadFeed::kArchiveFile) {
    upload_.unpacking =
        std::make_unique<StreamExtractor>(StagingFilePath(thread_number_), limits.extract);
  }
  upload_.writer.Begin(upload_.file, upload_.unpacking.get(), feed == UploadFeed::kUnpackQueued);
}

void CSessionHandler::FlushUpload() {
  const UploadWriter::Outcome outcome = upload_.writer.Finish();
  if (!outcome.whole) {
    SpoilUpload();
  } else if (!outcome.unpacked) {
    upload_.unpacking.reset();  // declined: the archive file holds it all
  }
}

void CSessionHandler::SpoilUpload() {
  upload_.writer.Abandon();
  upload_.unpacking.reset();
  upload_.spoiled = true;
  if (!upload_.file.IsOpen()) return;
  upload_.file.Close();
  platform::RemoveIfExists(upload_.archive);
}

void CSessionHandler::OnUploadRequest(const Request& request) {
  const ProjectFileRequest& target = *request.project_file;
  const UploadFixedPart fixed = ReadUploadFixedPart(target.fixed);
  upload_.file_time = fixed.last_write;
  AbandonUpload();
  upload_.archive = ClientArchivePath();
  // A client's upload is unpacked while it arrives, so that its end only
  // commits; a large one from a pipelining peer on the writer's own thread,
  // so that acknowledgements never wait for the disk or the inflater.
  const bool large =
      fixed.size >= 0 && static_cast<std::uint64_t>(fixed.size) >= kStreamedPackingFrom;
  StartUpload(ClientUploadLimits(fixed.size), assembler_.pipelining() && large
                                                  ? UploadFeed::kUnpackQueued
                                                  : UploadFeed::kUnpackInline);
  if (!SendAccepted(PacketType::kUploadRequest)) return;
  upload_.folder.assign(target.folder);
  upload_.file_name.assign(target.file_name);
  upload_.target = target.target;
  upload_.project = project_;
  upload_.user = user_;
  upload_.kind = UploadKind::kClient;
  Logf(kLogInfo, "File %s\\%s prepared for RX on project %s", upload_.folder.c_str(),
       upload_.file_name.c_str(), project_->projectname.c_str());
}

void CSessionHandler::OnUploadData(const Request& request) {
  if (request.payload.empty()) {
    // Each accepted request names one kind of upload; a session where both a
    // client and the remote tool are logged in places only what was announced.
    if (upload_.file.IsOpen()) FlushUpload();
    upload_.file.Close();
    if (upload_.kind == UploadKind::kClient && client_logged_in_ && project_ != nullptr &&
        project_ == upload_.project && user_ == upload_.user && !upload_.spoiled) {
      FinishClientUpload();
    } else if (upload_.kind == UploadKind::kRemote && remote_logged_in_) {
      FinishRemoteUpload(upload_.spoiled);
    }
    // A finished client archive stays until the login or connection ends.
    upload_.archive.clear();
    upload_.kind = UploadKind::kNone;
    upload_.spoiled = false;
  } else {
    AppendUploadChunk(request);
  }
  SendAccepted(PacketType::kUploadChunk);
}

void CSessionHandler::AppendUploadChunk(const Request& request) {
  if (!upload_.file.IsOpen()) return;  // acknowledged and discarded
  const ChunkHeader header = ReadChunkHeader(request.payload);
  // A chunk without the data marker carries no archive bytes: acknowledged,
  // not written, and the upload goes on.
  if (header.marker != kUploadDataMarker) return;
  if (request.block == nullptr || !ChunkFits(header) || upload_.writer.failed()) {
    // A chunk that cannot be taken leaves a hole in the archive: the upload
    // must not replace anything.
    SpoilUpload();
    return;
  }
  upload_.received += header.plain_length;
  if (upload_.received > upload_.limits.archive_bytes) {
    SpoilUpload();  // more than the announced file can take
    return;
  }
  if (upload_.received >= upload_.next_space_check) {
    upload_.next_space_check += kSpaceCheckBytes;
    const std::optional<std::uint64_t> free = platform::FreeSpace(kTempFolder);
    if (free && *free < ExtractReserve(0)) {
      SpoilUpload();
      return;
    }
  }
  std::uint8_t* plain = upload_.writer.Room(header.cipher_length);
  DecryptBuffer(cipher_.With(session_key_), request.block, header.cipher_length, plain);
  upload_.writer.Add(header.plain_length);
}

void CSessionHandler::FinishClientUpload() {
  // The folder is resolved again (and created where missing) beneath the
  // root: the tree may have changed since the request was checked.
  platform::Directory root;
  if (root.Open(project_->rootpath) != 0) return;
  TransferStaging staging(thread_number_);
  // Unpacked while it arrived (the archive file holds nothing of it): a
  // damaged end or tail leaves nothing to place.
  const bool streamed = upload_.unpacking != nullptr;
  if (streamed) {
    const bool unpacked = upload_.unpacking->Finish().ok;
    upload_.unpacking.reset();
    if (!unpacked) return;
  }
  const PlaceOutcome outcome =
      streamed
          ? PlaceStaged(staging, root, upload_.target.folder, upload_.target.file_name,
                        upload_.file_time)
          : ExtractAndPlace(staging, upload_.archive, upload_.limits.extract, root,
                            upload_.target.folder, upload_.target.file_name, upload_.file_time);
  if (outcome == PlaceOutcome::kRefused) {
    RefuseProjectFile(PacketType::kUploadChunk, upload_.folder, Refusal::kLink);
    return;
  }
  if (outcome != PlaceOutcome::kPlaced) return;
  const std::string text =
      StringPrintf("Project %s: user %s updated file %s\\%s", project_->projectname.c_str(),
                   user_->username.c_str(), upload_.folder.c_str(), upload_.file_name.c_str());
  WriteUserActivity(text);
  Log(kLogInfo, text);
  project_->changed_by_session.store(true);
}

}  // namespace kestrel
