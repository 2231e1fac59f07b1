#pragma once
// The two-way synchronisation planner: from the state of the last sync, the
// local files and the user's scan result it decides, file by file, what to
// transfer. A pure function: it touches neither disk nor network.
//
// Rules, by last-write time (and on the local side by size and, where the
// caller filled it in, the digest of the contents):
// - new or changed on one side only: copied to the other side (uploads only
//   where the folder is writable for the user);
// - changed on both sides since the last sync (whatever the times), or new
//   on both with different times: the local copy is kept under a conflict
//   name and the server's copy is downloaded;
// - an upload the last sync could not confirm counts as the last sync's
//   state once the server shows its time;
// - deleted on one side since the last sync: kept unless deletions are asked
//   for, and then only when the other side did not change it meanwhile;
// - folders hidden from the user are left alone.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "client/LocalTree.h"
#include "client/ScanResult.h"
#include "client/SyncState.h"

namespace kestrel::client {

// What the user may do in a folder, as far as the scan result tells.
struct FolderAccess {
  bool known = false;  // from the folder itself or a listed folder above it
  bool hidden = false;
  bool writable = true;  // a folder nothing is known about is taken as writable
};

// The scan result keyed like the local files.
class RemoteView {
 public:
  explicit RemoteView(const ScanResult& result);
  const std::map<std::string, platform::FileTime>& files() const { return files_; }
  // The folder's own entry, else that of the nearest listed folder above it.
  FolderAccess Access(std::string_view folder_key) const;
  // key names a folder: a listed one, or one above a listed one. The root ("") is one.
  bool HasFolder(std::string_view key) const;

 private:
  std::map<std::string, platform::FileTime> files_;  // key -> server's last-write time
  std::map<std::string, FolderAccess> folders_;      // folder key -> access
};

enum class SyncStep {
  kConflict,      // keep the local copy as conflict_key, download the server's
  kDownload,      // new or changed on the server
  kUpload,        // new or changed here
  kDeleteLocal,   // deleted on the server since the last sync
  kDeleteRemote,  // deleted here since the last sync
  kRecord,        // the same on both sides: only remembered
  kForget,        // gone from both sides: forgotten
  kKeep,          // left as it is (reason says why)
};

struct SyncAction {
  SyncStep step = SyncStep::kKeep;
  std::string key;
  std::string conflict_key;           // kConflict: new local name of the local copy
  bool upload_conflict_copy = false;  // kConflict: the folder is writable
  bool has_local = false;
  LocalFile local;  // the local file as listed (checked again before it is replaced)
  bool has_remote = false;
  platform::FileTime remote_time = 0;
  std::string reason;
};

struct SyncOptions {
  bool propagate_deletes = false;  // --delete
  std::string conflict_user;       // who keeps the conflict copy (8-bit text)
  std::string conflict_stamp;      // local time, "2026-12-08 1530"
};

std::vector<SyncAction> PlanSync(const SyncState& state, const LocalListing& local,
                                 const ScanResult& remote, const SyncOptions& options);

// "name (conflict USER STAMP).ext"; from attempt 2 on "name (conflict USER
// STAMP 2).ext". Characters of the user name that a file name cannot hold
// ("/", "\", ":", control characters) become "_".
std::string ConflictName(std::string_view file_name, std::string_view user, std::string_view stamp,
                         int attempt);

// Short word for a step ("download", "upload", ...).
const char* StepName(SyncStep step);

}  // namespace kestrel::client
