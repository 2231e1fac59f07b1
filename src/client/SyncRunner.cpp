#include "client/SyncRunner.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "client/RemotePath.h"
#include "client/TextCodec.h"
#include "platform/FileSystem.h"
#include "support/TextDigest.h"

namespace kestrel::client {
namespace {

// Pause between two looks at the server's scan result while confirming.
constexpr std::chrono::milliseconds kConfirmPause{300};

bool SameAsRecorded(const LocalFile& file, const SyncedFile& record) {
  return file.size == record.size && file.last_write == record.local_time;
}

std::string ConflictStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "0000-00-00 0000";
  if (localtime_r(&now, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H%M", &local);
  return text;
}

}  // namespace

SyncRunner::SyncRunner(ClientLink& link, const SyncSettings& settings, SyncObserver& observer,
                       const std::atomic<bool>* stop)
    : link_(link), settings_(settings), observer_(observer), stop_(stop), transfers_(link, work_) {}

bool SyncRunner::LoadState() {
  const std::string path = LocalPath(settings_.root, kSyncStateFileName);
  const StateLoad load = LoadSyncState(path, state_);
  const LinkSettings& s = link_.settings();
  if (load == StateLoad::kDamaged) {
    observer_.OnError("the state file " + Shown(path) +
                      " cannot be read; move it away to start afresh (files on both sides are then "
                      "compared by time only)");
    return false;
  }
  if (load == StateLoad::kMissing) {
    state_ = SyncState{s.project, s.user, {}};
    return true;
  }
  if (state_.project != s.project || state_.user != s.user) {
    observer_.OnError("this folder is synchronised with project " + ToDisplayText(state_.project) +
                      " as user " + ToDisplayText(state_.user) +
                      "; use another folder for project " + ToDisplayText(s.project) + " as " +
                      ToDisplayText(s.user));
    return false;
  }
  return true;
}

SyncOutcome SyncRunner::Run() {
  SyncOutcome outcome;
  if (!work_.ok()) {
    observer_.OnError("cannot create a temporary folder");
    outcome.status = SyncStatus::kLocal;
    return outcome;
  }
  if (!LoadState()) {
    outcome.status = SyncStatus::kLocal;
    return outcome;
  }
  ScanResult remote;
  if (const TransferResult fetched = transfers_.FetchScanResult(remote); !fetched) {
    observer_.OnError(fetched.message);
    outcome.status = SyncStatus::kNoScanResult;
    return outcome;
  }
  for (const std::string& name : remote.rejected) {
    observer_.OnWarning("the scan result names an entry that is not used: " + Shown(name));
  }
  LocalTree local = ListLocalTree(settings_.root);
  if (local.error == ENOENT && settings_.dry_run) {
    observer_.OnWouldCreateRoot();
    local.error = 0;
  }
  if (local.error != 0) {
    observer_.OnError("cannot list " + Shown(settings_.root) + " (error " +
                      std::to_string(local.error) + ")");
    outcome.status = SyncStatus::kLocal;
    return outcome;
  }
  if (settings_.show_kept) {
    for (const SkippedName& skipped : local.skipped) observer_.OnSkipped(skipped);
    if (local.untranslatable > 0) observer_.OnUntranslatable(local.untranslatable);
  }

  AddDigests(local.files);
  SyncOptions options;
  options.propagate_deletes = settings_.propagate_deletes;
  options.conflict_user = link_.settings().user;
  options.conflict_stamp = ConflictStamp();
  const std::vector<SyncAction> plan = PlanSync(state_, local.files, remote, options);

  int failures = 0;
  for (const SyncAction& action : plan) {
    const bool is_change = action.step != SyncStep::kKeep && action.step != SyncStep::kRecord &&
                           action.step != SyncStep::kForget;
    if (action.step == SyncStep::kKeep && !settings_.show_kept) continue;
    if (settings_.dry_run) {
      if (action.step != SyncStep::kRecord && action.step != SyncStep::kForget) {
        observer_.OnStep(action, true);
      }
      if (is_change) ++outcome.changes;
      continue;
    }
    if (Stopped()) break;
    if (is_change || action.step == SyncStep::kKeep) observer_.OnStep(action, false);
    if (!Execute(action)) {
      ++failures;
    } else if (is_change) {
      ++outcome.changes;
    }
  }
  if (settings_.dry_run) {
    outcome.local_after = local.files;
    return outcome;
  }
  if (!pending_.empty()) Confirm();
  const std::string state_path = LocalPath(settings_.root, kSyncStateFileName);
  if (!SaveSyncState(state_path, state_)) {
    observer_.OnError("cannot write the state file " + Shown(state_path));
    ++failures;
  }
  outcome.local_after = ListLocalTree(settings_.root).files;
  if (failures > 0) {
    observer_.OnError(std::to_string(failures) + " step" + (failures == 1 ? "" : "s") +
                      " failed; the next sync tries again");
    outcome.status = SyncStatus::kIncomplete;
  } else if (Stopped()) {
    outcome.status = SyncStatus::kIncomplete;
  }
  return outcome;
}

void SyncRunner::AddDigests(LocalListing& files) {
  for (auto& [key, file] : files) {
    const auto record = state_.files.find(key);
    const auto sent = state_.sent.find(key);
    const bool looks_recorded =
        record != state_.files.end() && SameAsRecorded(file, record->second);
    const bool looks_sent = sent != state_.sent.end() && SameAsRecorded(file, sent->second);
    if (!looks_recorded && !looks_sent) continue;
    file.digest = DigestOfFile(LocalPath(settings_.root, key));
    // A record of an older state file learns the digest of the file as it is.
    if (looks_recorded && record->second.digest.empty()) record->second.digest = file.digest;
  }
}

std::string SyncRunner::DigestOf(const std::string& key, const LocalFile& listed) const {
  return listed.digest.empty() ? DigestOfFile(LocalPath(settings_.root, key)) : listed.digest;
}

bool SyncRunner::Execute(const SyncAction& action) {
  // Whatever happens to the file now replaces an upload still to be confirmed.
  if (action.step != SyncStep::kKeep) state_.sent.erase(action.key);
  switch (action.step) {
    case SyncStep::kConflict:
      return DoConflict(action);
    case SyncStep::kDownload:
      if (!StillAsListed(action.key, action)) return false;
      return DoDownload(action, action.key);
    case SyncStep::kUpload:
      if (!StillAsListed(action.key, action)) return false;
      return DoUpload(action.key, action.local,
                      action.has_remote ? std::optional(action.remote_time) : std::nullopt);
    case SyncStep::kDeleteLocal:
      return DoDeleteLocal(action);
    case SyncStep::kDeleteRemote:
      return DoDeleteRemote(action);
    case SyncStep::kRecord:
      state_.files[action.key] = SyncedFile{action.local.size, action.local.last_write,
                                            action.remote_time, DigestOf(action.key, action.local)};
      return true;
    case SyncStep::kForget:
      state_.files.erase(action.key);
      return true;
    case SyncStep::kKeep:
      return true;
  }
  return false;
}

bool SyncRunner::StillAsListed(const std::string& key, const SyncAction& action) {
  platform::DirEntry now;
  const bool exists = platform::Stat(LocalPath(settings_.root, key), now) == 0;
  const bool same = action.has_local ? exists && !now.is_folder && now.size == action.local.size &&
                                           now.last_write == action.local.last_write
                                     : !exists;
  if (!same) {
    observer_.OnWarning(Shown(key) + " changed here during the sync; left for the next sync");
  }
  return same;
}

bool SyncRunner::MakeFolders(const std::string& folder_key) {
  if (folder_key.empty()) return true;
  std::size_t cut = 0;
  for (;;) {
    cut = folder_key.find('\\', cut);
    const std::string path = LocalPath(settings_.root, folder_key.substr(0, cut));
    if (!platform::IsFolder(path) && platform::CreateFolder(path) != 0) {
      observer_.OnError("cannot create the folder " + Shown(path));
      return false;
    }
    if (cut == std::string::npos) return true;
    ++cut;
  }
}

bool SyncRunner::DoDownload(const SyncAction& action, const std::string& key) {
  if (!MakeFolders(ParentKey(key))) return false;
  const RemoteName name = SplitKey(key);
  const std::string target = LocalPath(settings_.root, key);
  const std::unique_ptr<TransferObserver> watch = observer_.WatchTransfer(Shown(key));
  const TransferResult result =
      transfers_.Download(name.folder, name.file, target, action.remote_time, watch.get());
  if (result.status == TransferStatus::kNotFound) {
    observer_.OnWarning(Shown(key) + " is no longer on the server");
    return false;
  }
  if (!result) {
    observer_.OnError(result.message);
    return false;
  }
  platform::DirEntry got;
  if (platform::Stat(target, got) != 0) return false;
  state_.files[key] =
      SyncedFile{got.size, got.last_write, action.remote_time, DigestOfFile(target)};
  return true;
}

bool SyncRunner::DoUpload(const std::string& key, const LocalFile& listed,
                          std::optional<platform::FileTime> server_time) {
  const RemoteName name = SplitKey(key);
  const std::string digest = DigestOf(key, listed);
  // New contents under the time the server already lists would look
  // unchanged to every other client: they get the next tick.
  std::optional<platform::FileTime> announce;
  if (server_time == listed.last_write) announce = listed.last_write + 1;
  const std::unique_ptr<TransferObserver> watch = observer_.WatchTransfer(Shown(key));
  const TransferResult result = transfers_.Upload(LocalPath(settings_.root, key), name.folder,
                                                  name.file, announce, watch.get());
  if (!result) {
    observer_.OnError(result.message);
    return false;
  }
  Pending pending;
  pending.key = key;
  pending.expected = SyncedFile{listed.size, listed.last_write, result.sent_time, digest};
  pending_.push_back(std::move(pending));
  return true;
}

bool SyncRunner::DoConflict(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const std::string from = LocalPath(settings_.root, action.key);
  const std::string to = LocalPath(settings_.root, action.conflict_key);
  if (platform::Exists(to)) {
    observer_.OnError("cannot keep the local copy: " + Shown(to) + " exists");
    return false;
  }
  if (platform::RenameFile(from, to) != 0) {
    observer_.OnError("cannot rename " + Shown(from) + " to " + Shown(to));
    return false;
  }
  bool ok = DoDownload(action, action.key);
  if (action.upload_conflict_copy && !Stopped()) {
    ok = DoUpload(action.conflict_key, action.local, std::nullopt) && ok;
  }
  return ok;
}

bool SyncRunner::DoDeleteLocal(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const std::string path = LocalPath(settings_.root, action.key);
  if (platform::DeleteFile(path) != 0) {
    observer_.OnError("cannot delete " + Shown(path));
    return false;
  }
  state_.files.erase(action.key);
  return true;
}

bool SyncRunner::DoDeleteRemote(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const RemoteName name = SplitKey(action.key);
  if (const TransferResult result = transfers_.Delete(name.folder, name.file); !result) {
    observer_.OnError(result.message);
    return false;
  }
  Pending pending;
  pending.key = action.key;
  pending.deleted = true;
  pending_.push_back(std::move(pending));
  return true;
}

// Logging out makes the server rescan the project; the new scan result then
// shows whether every upload and deletion took effect. Only what it shows is
// recorded: anything else is compared afresh at the next sync.
void SyncRunner::Confirm() {
  if (const LinkResult out = link_.Logout(); !out.ok()) {
    observer_.OnWarning(out.message);
    return;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(settings_.settle_seconds);
  std::vector<Pending> open = pending_;
  while (!open.empty() && settings_.settle_seconds > 0 && !Stopped()) {
    std::this_thread::sleep_for(kConfirmPause);
    if (const LinkResult in = link_.LoginClient(settings_.password); !in.ok()) {
      observer_.OnError(in.message);
      break;
    }
    ScanResult remote;
    const TransferResult fetched = transfers_.FetchScanResult(remote);
    link_.Logout();
    if (!fetched) {
      observer_.OnError(fetched.message);
      break;
    }
    const RemoteView view(remote);
    std::vector<Pending> still;
    for (const Pending& p : open) {
      const auto found = view.files().find(p.key);
      if (p.deleted && found == view.files().end()) {
        state_.files.erase(p.key);
      } else if (!p.deleted && found != view.files().end() &&
                 found->second == p.expected.remote_time) {
        state_.files[p.key] = p.expected;
        state_.sent.erase(p.key);
      } else {
        still.push_back(p);
      }
    }
    open.swap(still);
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  for (const Pending& p : open) {
    // An upload is compared with what was sent at the next sync.
    if (!p.deleted) state_.sent[p.key] = p.expected;
    observer_.OnWarning(
        Shown(p.key) + (p.deleted ? " (deleted)" : " (uploaded)") +
        " is not confirmed by the server's scan yet; the next sync checks it again");
  }
}

}  // namespace kestrel::client
