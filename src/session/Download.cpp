// Downloads: the scan-result request, the download request and the chunk
// loop that carries a prepared archive to the client.
#include <cstring>
#include <shared_mutex>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHandler.h"
#include "support/ServerFiles.h"
#include "support/ZipArchive.h"

namespace kestrel {
namespace {

constexpr std::size_t kChunkHeaderSize = kFrameOverhead + kBulkDownloadPayload;  // 7

}  // namespace

std::string CSessionHandler::ClientArchivePath() const {
  return kestrel::ClientArchivePath(project_->projectname, user_->username, thread_number_);
}

void CSessionHandler::CloseDownload() {
  packer_.Stop();
  if (download_file_.IsOpen()) download_file_.Close();
  download_read_ = 0;
}

void CSessionHandler::RemoveLoginArchive() {
  if (!client_logged_in_ || project_ == nullptr || user_ == nullptr) return;
  CloseDownload();
  platform::RemoveIfExists(ClientArchivePath());
}

std::string CSessionHandler::NewTransferArchive() {
  // Packing takes a while: replies gathered before it do not wait for it.
  (void)replies_.Flush();
  CloseDownload();
  download_streamed_ = download_ended_ = false;
  // The download archive has the upload's name: an open upload cannot go on.
  if (upload_.kind == UploadKind::kClient) AbandonUpload();
  const std::string archive = ClientArchivePath();
  (void)CFileNeu::Remove(archive);  // a failure is reported
  return archive;
}

void CSessionHandler::PackIntoTransferArchive(platform::File& source) {
  const std::string archive = NewTransferArchive();
  // A missing or unreadable source leaves an archive without entries; the
  // client receives whatever could be written.
  ZipWriter writer;
  if (!writer.Create(archive)) return;
  if (source.IsOpen()) (void)writer.AddOpenFile(kTransferEntryName, source, values_.shutdown);
  (void)writer.Close();
}

void CSessionHandler::OnScanResultRequest(const Request&) {
  if (SendAccepted(PacketType::kScanResultRequest)) {
    Logf(kLogInfo, "User %s prepared XML result on project %s", user_->username.c_str(),
         project_->projectname.c_str());
  }
  ready_ = false;
  {
    // Readers share the file; the project handler replaces it only while it
    // holds the guard alone.
    std::shared_lock<std::shared_mutex> reading(user_->scan_result_guard);
    platform::File result;
    (void)result.Open(ScanResultPath(project_->projectname, user_->username),
                      platform::File::kRead);
    PackIntoTransferArchive(result);
  }
  ready_ = true;
}

void CSessionHandler::OnDownloadRequest(const Request& request) {
  const ProjectFileRequest& source = *request.project_file;
  // The file is opened in the folder the check resolved, before the reply: a
  // link or special file put there since the check is refused the same way.
  platform::File file;
  if (source.folder_handle.IsOpen()) {
    const int error = source.folder_handle.OpenRegularFile(source.target.file_name, file);
    if (error == platform::kLinkOnTheWay || error == platform::kNotARegularFile) {
      RefuseProjectFile(request.type, source.folder, Refusal::kLink);
      return;
    }
  }
  if (SendAccepted(PacketType::kDownloadRequest)) {
    const std::string folder_text(source.folder), file_text(source.file_name);
    Logf(kLogInfo, "File %s\\%s prepared for TX on project %s", folder_text.c_str(),
         file_text.c_str(), project_->projectname.c_str());
  }
  ready_ = false;
  platform::DirEntry status;
  if (assembler_.pipelining() && file.IsOpen() && file.Status(status) == 0 &&
      status.size >= kStreamedPackingFrom) {
    // Packed while sent, for peers that pipeline (our own client): the chunk
    // requests wait for the packer where they overtake it.
    download_streamed_ =
        packer_.Start(NewTransferArchive(), kTransferEntryName, std::move(file), values_.shutdown);
  } else {
    PackIntoTransferArchive(file);
  }
  ready_ = true;
}

void CSessionHandler::OnNextDownloadChunk(const Request&) {
  if (!download_file_.IsOpen()) {
    const std::string archive = server_logs_mode_ ? kServerLogsArchive : ClientArchivePath();
    download_file_.SetShowErrors(false);
    if (!download_file_.Open(archive, CFileNeu::kRead)) return;  // no reply
  }
  if (packer_.started()) (void)packer_.WaitFor(download_read_ + sizeof chunk_plain_);
  const std::size_t n = download_file_.Read(chunk_plain_, sizeof chunk_plain_);
  download_read_ += n;
  if (n == 0) {
    CloseDownload();
    // Requests a pipelining peer sent past the end start the archive again;
    // its end is logged once.
    const bool again = download_streamed_ && download_ended_;
    download_ended_ = true;
    if (server_logs_mode_) {
      Log(kLogWarning, "server logs transmitted to remote tool");
    } else if (HasLogWindow() && !again) {
      Logf(kLogInfo, "project %s, user %s file transmitted to client",
           project_->projectname.c_str(), user_->username.c_str());
    }
    SendReply(PacketType::kNextDownloadChunk, {});
    return;
  }
  // The chunk frame is built in place: 7 header bytes, then the ciphertext
  // and zero filler up to 1280 bytes, sent in one call.
  const std::uint8_t count[kBulkDownloadPayload] = {static_cast<std::uint8_t>(n >> 8),
                                                    static_cast<std::uint8_t>(n & 0xFF)};
  BuildReply(PacketType::kNextDownloadChunk, count, send_buffer_);
  std::uint8_t* block = send_buffer_ + kChunkHeaderSize;
  const std::size_t sealed = EncryptBuffer(cipher_.With(session_key_), chunk_plain_, n, block);
  std::memset(block + sealed, 0, kBulkBlockSize - sealed);
  SendFrame(kBulkDownloadFrameSize);
}

}  // namespace kestrel
