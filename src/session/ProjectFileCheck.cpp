// The one check of every request that names a file of the client's project
// (download, upload, delete): the handlers get an already checked target.
#include "logging/LogRecord.h"
#include "session/SessionHandler.h"

namespace kestrel {
namespace {

constexpr std::size_t kProjectFileStrings = 2;  // folder, file name
constexpr std::size_t kUploadFixedPart = 16;    // file time, file size (little-endian)

}  // namespace

bool CSessionHandler::CheckProjectFile(const Request& request, PayloadRule rule,
                                       ProjectFileRequest& out) {
  const std::size_t fixed = rule == PayloadRule::kProjectUpload ? kUploadFixedPart : 0;
  RequestRecord record;
  if (!DecryptRecord(request, kProjectFileStrings, fixed, record)) return false;
  out.folder = record.String(0);
  out.file_name = record.String(1);
  // Empty names are ignored without a word, like every request that does not fit.
  if (out.folder.empty() || out.file_name.empty()) return false;
  out.target = MakeProjectTarget(project_->rootpath, out.folder, out.file_name);
  if (!out.target.ok()) {
    RefuseProjectFile(request.type);
    return false;
  }
  out.fixed = fixed != 0 ? record.Fixed() : nullptr;
  return true;
}

void CSessionHandler::RefuseProjectFile(PacketType type) {
  // A refused upload request also ends the upload in progress: what the client
  // now sends belongs to the refused request.
  if (type == PacketType::kUploadRequest) AbandonUpload();
  RefuseName(type);
}

}  // namespace kestrel
