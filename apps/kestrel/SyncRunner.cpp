#include "SyncRunner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <thread>

#include "Commands.h"
#include "ExitCodes.h"
#include "client/RemotePath.h"
#include "client/TextCodec.h"
#include "platform/FileSystem.h"

namespace kestrel::cli {

using client::SyncAction;
using client::SyncStep;
using client::ToDisplayText;

namespace {

std::string ConflictStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "0000-00-00 0000";
  if (localtime_r(&now, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H%M", &local);
  return text;
}

void PrintStep(const SyncAction& a, bool dry_run) {
  std::string line = std::string(dry_run ? "would " : "") + client::StepName(a.step);
  line.resize(std::max<std::size_t>(line.size(), dry_run ? 24 : 18), ' ');
  line += ' ';
  line += Shown(a.key);
  if (a.step == SyncStep::kConflict) {
    line += " (local copy kept as " + Shown(a.conflict_key) +
            (a.upload_conflict_copy ? " and uploaded)" : ")");
  }
  if (!a.reason.empty()) line += "  [" + a.reason + "]";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

SyncRunner::SyncRunner(ServerLink& link, const SyncSettings& settings,
                       const std::atomic<bool>* stop)
    : link_(link), settings_(settings), stop_(stop), transfers_(link, work_) {}

bool SyncRunner::LoadState() {
  const std::string path = client::LocalPath(settings_.root, client::kSyncStateFileName);
  const client::StateLoad load = client::LoadSyncState(path, state_);
  const Settings& s = link_.settings();
  if (load == client::StateLoad::kDamaged) {
    PrintError("the state file " + Shown(path) +
               " cannot be read; move it away to start afresh (files on both sides are then "
               "compared by time only)");
    return false;
  }
  if (load == client::StateLoad::kMissing) {
    state_ = client::SyncState{s.project, s.user, {}};
    return true;
  }
  if (state_.project != s.project || state_.user != s.user) {
    PrintError("this folder is synchronised with project " + ToDisplayText(state_.project) +
               " as user " + ToDisplayText(state_.user) + "; use another folder for project " +
               ToDisplayText(s.project) + " as " + ToDisplayText(s.user));
    return false;
  }
  return true;
}

SyncOutcome SyncRunner::Run() {
  SyncOutcome outcome;
  if (!work_.ok()) {
    PrintError("cannot create a temporary folder");
    outcome.exit_code = kExitLocal;
    return outcome;
  }
  if (!LoadState()) {
    outcome.exit_code = kExitLocal;
    return outcome;
  }
  const std::optional<client::ScanResult> remote = transfers_.FetchScanResult();
  if (!remote) {
    outcome.exit_code = kExitConnection;
    return outcome;
  }
  client::LocalTree local = client::ListLocalTree(settings_.root);
  if (local.error == ENOENT && settings_.dry_run) {
    std::printf("would create %s\n", Shown(settings_.root).c_str());
    local.error = 0;
  }
  if (local.error != 0) {
    PrintError("cannot list " + Shown(settings_.root) + " (error " + std::to_string(local.error) +
               ")");
    outcome.exit_code = kExitLocal;
    return outcome;
  }
  if (settings_.show_kept) {
    for (const client::SkippedName& skipped : local.skipped) {
      std::printf("%-18s %s  [%s]\n", "skip", Shown(skipped.key).c_str(), skipped.reason.c_str());
    }
    if (local.untranslatable > 0) {
      std::printf("%-18s %d local name%s with characters above U+00FF\n", "skip",
                  local.untranslatable, local.untranslatable == 1 ? "" : "s");
    }
  }

  client::SyncOptions options;
  options.propagate_deletes = settings_.propagate_deletes;
  options.conflict_stamp = ConflictStamp();
  const std::vector<SyncAction> plan = client::PlanSync(state_, local.files, *remote, options);

  int failures = 0;
  for (const SyncAction& action : plan) {
    const bool is_change = action.step != SyncStep::kKeep && action.step != SyncStep::kRecord &&
                           action.step != SyncStep::kForget;
    if (action.step == SyncStep::kKeep && !settings_.show_kept) continue;
    if (settings_.dry_run) {
      if (action.step != SyncStep::kRecord && action.step != SyncStep::kForget) {
        PrintStep(action, true);
      }
      if (is_change) ++outcome.changes;
      continue;
    }
    if (Stopped()) break;
    if (is_change || action.step == SyncStep::kKeep) PrintStep(action, false);
    if (!Execute(action)) {
      ++failures;
    } else if (is_change) {
      ++outcome.changes;
    }
  }
  if (settings_.dry_run) {
    std::printf("dry run: %d change%s planned, nothing was changed\n", outcome.changes,
                outcome.changes == 1 ? "" : "s");
    outcome.local_after = local.files;
    return outcome;
  }
  if (!pending_.empty()) Confirm();
  const std::string state_path = client::LocalPath(settings_.root, client::kSyncStateFileName);
  if (!client::SaveSyncState(state_path, state_)) {
    PrintError("cannot write the state file " + Shown(state_path));
    ++failures;
  }
  outcome.local_after = client::ListLocalTree(settings_.root).files;
  if (failures > 0) {
    PrintError(std::to_string(failures) + " step" + (failures == 1 ? "" : "s") +
               " failed; the next sync tries again");
    outcome.exit_code = kExitIncomplete;
  } else if (Stopped()) {
    outcome.exit_code = kExitIncomplete;
  }
  return outcome;
}

bool SyncRunner::Execute(const SyncAction& action) {
  switch (action.step) {
    case SyncStep::kConflict:
      return DoConflict(action);
    case SyncStep::kDownload:
      if (!StillAsListed(action.key, action)) return false;
      return DoDownload(action, action.key);
    case SyncStep::kUpload:
      if (!StillAsListed(action.key, action)) return false;
      return DoUpload(action.key, action.local);
    case SyncStep::kDeleteLocal:
      return DoDeleteLocal(action);
    case SyncStep::kDeleteRemote:
      return DoDeleteRemote(action);
    case SyncStep::kRecord:
      state_.files[action.key] =
          client::SyncedFile{action.local.size, action.local.last_write, action.remote_time};
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
  const bool exists = platform::Stat(client::LocalPath(settings_.root, key), now) == 0;
  const bool same = action.has_local ? exists && !now.is_folder && now.size == action.local.size &&
                                           now.last_write == action.local.last_write
                                     : !exists;
  if (!same) {
    PrintWarning(Shown(key) + " changed here during the sync; left for the next sync");
  }
  return same;
}

bool SyncRunner::MakeFolders(const std::string& folder_key) {
  if (folder_key.empty()) return true;
  std::size_t cut = 0;
  for (;;) {
    cut = folder_key.find('\\', cut);
    const std::string path = client::LocalPath(settings_.root, folder_key.substr(0, cut));
    if (!platform::IsFolder(path) && platform::CreateFolder(path) != 0) {
      PrintError("cannot create the folder " + Shown(path));
      return false;
    }
    if (cut == std::string::npos) return true;
    ++cut;
  }
}

bool SyncRunner::DoDownload(const SyncAction& action, const std::string& key) {
  if (!MakeFolders(client::ParentKey(key))) return false;
  const client::RemoteName name = client::SplitKey(key);
  const std::string target = client::LocalPath(settings_.root, key);
  const TransferStatus status =
      transfers_.Download(name.folder, name.file, target, action.remote_time, Shown(key));
  if (status == TransferStatus::kNotFound) {
    PrintWarning(Shown(key) + " is no longer on the server");
    return false;
  }
  if (status != TransferStatus::kDone) return false;
  platform::DirEntry got;
  if (platform::Stat(target, got) != 0) return false;
  state_.files[key] = client::SyncedFile{got.size, got.last_write, action.remote_time};
  return true;
}

bool SyncRunner::DoUpload(const std::string& key, const client::LocalFile& listed) {
  const client::RemoteName name = client::SplitKey(key);
  platform::FileTime sent = 0;
  const TransferStatus status = transfers_.Upload(client::LocalPath(settings_.root, key),
                                                  name.folder, name.file, Shown(key), &sent);
  if (status != TransferStatus::kDone) return false;
  Pending pending;
  pending.key = key;
  pending.expected = client::SyncedFile{listed.size, sent, sent};
  pending_.push_back(std::move(pending));
  return true;
}

bool SyncRunner::DoConflict(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const std::string from = client::LocalPath(settings_.root, action.key);
  const std::string to = client::LocalPath(settings_.root, action.conflict_key);
  if (platform::Exists(to)) {
    PrintError("cannot keep the local copy: " + Shown(to) + " exists");
    return false;
  }
  if (platform::RenameFile(from, to) != 0) {
    PrintError("cannot rename " + Shown(from) + " to " + Shown(to));
    return false;
  }
  bool ok = DoDownload(action, action.key);
  if (action.upload_conflict_copy && !Stopped()) {
    ok = DoUpload(action.conflict_key, action.local) && ok;
  }
  return ok;
}

bool SyncRunner::DoDeleteLocal(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const std::string path = client::LocalPath(settings_.root, action.key);
  if (platform::DeleteFile(path) != 0) {
    PrintError("cannot delete " + Shown(path));
    return false;
  }
  state_.files.erase(action.key);
  return true;
}

bool SyncRunner::DoDeleteRemote(const SyncAction& action) {
  if (!StillAsListed(action.key, action)) return false;
  const client::RemoteName name = client::SplitKey(action.key);
  if (transfers_.Delete(name.folder, name.file) != TransferStatus::kDone) return false;
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
  if (link_.Logout() != kExitOk) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(settings_.settle_seconds);
  std::vector<Pending> open = pending_;
  while (!open.empty() && settings_.settle_seconds > 0 && !Stopped()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (link_.LoginClient(settings_.password) != kExitOk) break;
    const std::optional<client::ScanResult> remote = transfers_.FetchScanResult();
    link_.Logout();
    if (!remote) break;
    const client::RemoteView view(*remote);
    std::vector<Pending> still;
    for (const Pending& p : open) {
      const auto found = view.files().find(p.key);
      if (p.deleted && found == view.files().end()) {
        state_.files.erase(p.key);
      } else if (!p.deleted && found != view.files().end() &&
                 found->second == p.expected.remote_time) {
        state_.files[p.key] = p.expected;
      } else {
        still.push_back(p);
      }
    }
    open.swap(still);
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  for (const Pending& p : open) {
    PrintWarning(Shown(p.key) + (p.deleted ? " (deleted)" : " (uploaded)") +
                 " is not confirmed by the server's scan yet; the next sync checks it again");
  }
}

}  // namespace kestrel::cli
