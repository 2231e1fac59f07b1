// The one check of every request that names a file of the client's project
// (download, upload, delete), run before the handler touches anything. In
// this order, each failure ending the request without a reply:
//  1. the record decrypts and splits into folder and file name (else ignored);
//  2. neither is empty (else ignored, like every request that does not fit);
//  3. the names are portable names below the root, none beginning with "~"
//     (ProjectPath.h; refused: "file name");
//  4. with user privileges on, the user's access to the folder, as the last
//     complete scan read it: visible for a download, visible and writable for
//     an upload or delete; before any scan published its table, nothing
//     (refused: "rights");
//  5. the folder resolves beneath the root without meeting a link, and the
//     file is neither a link nor a FIFO, socket or device (refused: "link or
//     special file").
// A refusal is logged as one Warning naming user, request, folder and
// address. The handlers then work through the folder handle resolved here.
#include "logging/LogRecord.h"
#include "net/RequestLayout.h"
#include "session/SessionHandler.h"

namespace kestrel {
namespace {

constexpr std::size_t kProjectFileStrings = 2;  // folder, file name

std::uint8_t AccessNeeded(PayloadRule rule) {
  return rule == PayloadRule::kProjectRead ? kAccessVisible : kAccessVisible | kAccessWritable;
}

// The folder as a log line may show it: control characters become "?".
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

}  // namespace

bool CSessionHandler::CheckProjectFile(const Request& request, PayloadRule rule,
                                       ProjectFileRequest& out) {
  const std::size_t fixed = rule == PayloadRule::kProjectUpload ? kUploadFixedPartSize : 0;
  RequestRecord record;
  if (!DecryptRecord(request, kProjectFileStrings, fixed, record)) return false;
  out.folder = record.String(0);
  out.file_name = record.String(1);
  if (out.folder.empty() || out.file_name.empty()) return false;
  out.fixed = fixed != 0 ? record.Fixed() : nullptr;

  out.target = MakeProjectTarget(out.folder, out.file_name);
  if (!out.target.ok) {
    RefuseProjectFile(request.type, out.folder, Refusal::kName);
    return false;
  }
  if (project_->user_privileges) {
    const std::shared_ptr<const FolderAccessTable> access = project_->folder_access.Load();
    const std::uint8_t needed = AccessNeeded(rule);
    if (access == nullptr || (access->Lookup(out.target.folder, user_index_) & needed) != needed) {
      RefuseProjectFile(request.type, out.folder, Refusal::kRights);
      return false;
    }
  }
  platform::Directory root;
  int error = root.Open(project_->rootpath);
  if (error == 0) error = root.OpenFolder(out.target.folder, out.folder_handle);
  if (error == 0) {
    const platform::EntryKind kind = out.folder_handle.Kind(out.target.file_name);
    if (kind == platform::EntryKind::kLink || kind == platform::EntryKind::kSpecial) {
      error = platform::kLinkOnTheWay;
    }
  }
  // A folder that does not exist (yet) is no refusal: a download then packs
  // nothing, an upload creates it, a delete has nothing to do.
  if (error == platform::kLinkOnTheWay) {
    RefuseProjectFile(request.type, out.folder, Refusal::kLink);
    return false;
  }
  return true;
}

void CSessionHandler::RefuseProjectFile(PacketType type, std::string_view folder, Refusal reason) {
  // A refused upload request also ends the upload in progress: what the client
  // now sends belongs to the refused request.
  if (type == PacketType::kUploadRequest) AbandonUpload();
  static constexpr const char* kReasons[] = {"file name", "rights", "link or special file"};
  Logf(kLogWarning,
       "network handling: refused packet 0x%02X (%s) of user %s for folder %s from IP %s at "
       "Port %d",
       static_cast<unsigned>(type), kReasons[static_cast<int>(reason)], user_->username.c_str(),
       Printable(folder).c_str(), peer_address_.c_str(), peer_port_);
}

}  // namespace kestrel
