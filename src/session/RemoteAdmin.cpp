// The remote administration transfers: the remote tool's upload of a
// document for the main window and the server-logs archive.
#include <memory>

#include "config/ConfigUpdate.h"
#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/RemoteUploadName.h"
#include "session/ServerLogs.h"
#include "session/SessionHandler.h"
#include "session/TransferStaging.h"
#include "support/ServerFiles.h"
#include "support/WindowMessages.h"

namespace kestrel {

std::string CSessionHandler::RemoteArchivePath() const {
  return StringPrintf(kRemoteArchiveFormat, thread_number_);
}

void CSessionHandler::OnRemoteUploadRequest(const Request& request) {
  RequestRecord record;
  if (!DecryptRecord(request, 1, 0, record)) return;
  const std::string_view name = record.String(0);
  if (name.empty()) return;
  // The document may only land in ".\Temp", and never on a working file there.
  if (!IsRemoteUploadName(name)) {
    AbandonUpload();
    RefuseName(request.type);
    return;
  }
  AbandonUpload();
  upload_.archive = RemoteArchivePath();
  // Chunks for an archive that cannot be created, or beyond a document's
  // bound, are acknowledged; nothing is handed on at the end.
  StartUpload(RemoteUploadLimits(), UploadFeed::kArchiveFile);
  if (!SendAccepted(PacketType::kRemoteUploadRequest)) return;
  if (HasLogWindow()) Log(kLogInfo, "XML config file prepared");
  upload_.remote_name.assign(name);
  upload_.kind = UploadKind::kRemote;
}

// The upload file is closed. Only a document received completely this time
// is handed to the main window: a failed extraction or rename never passes on
// an older file that happens to carry the same name.
void CSessionHandler::FinishRemoteUpload(bool spoiled) {
  const std::string archive = RemoteArchivePath();
  const std::string target = StringPrintf(kRemoteDocumentFormat, upload_.remote_name.c_str());
  bool placed = false;
  if (!spoiled) {
    TransferStaging staging(thread_number_);
    if (staging.Extract(archive, upload_.limits.extract)) {
      // Replaces an earlier document of the same name left in ".\Temp".
      const int error = staging.RenameTo(target);
      placed = error == 0;
      if (!placed) CFileNeu::Report(error, target, true);
    }
  }
  (void)CFileNeu::Remove(archive);  // a failure is reported
  if (placed) PostToMainWindow(WM_REMOTE_DOCUMENT, std::make_unique<RemoteDocumentRecord>(target));
}

void CSessionHandler::OnServerLogsRequest(const Request&) {
  if (SendAccepted(PacketType::kServerLogsRequest) && HasLogWindow()) {
    Log(kLogWarning, "server logs prepared for download");
  }
  ready_ = false;
  CloseDownload();
  // The build opens this session's own handle on the finished archive.
  const std::uint64_t build = ServerLogsArchive::Build(values_.shutdown, download_file_);
  if (build != 0) server_logs_build_ = build;
  // A build given up for the shutdown is never offered as complete.
  if (values_.shutdown != nullptr && values_.shutdown->load()) return;
  ready_ = true;
  server_logs_mode_ = true;
}

}  // namespace kestrel
