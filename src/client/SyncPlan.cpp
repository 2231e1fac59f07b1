#include "client/SyncPlan.h"

#include <algorithm>
#include <set>

#include "client/RemotePath.h"

namespace kestrel::client {

RemoteView::RemoteView(const ScanResult& result) {
  for (const RemoteFolder& folder : result.folders) {
    const std::string folder_key = FolderKey(folder.name);
    FolderAccess access;
    access.known = true;
    access.hidden = folder.hidden;
    access.writable = !folder.hidden;
    for (const RemoteFile& file : folder.files) {
      files_[JoinKey(folder_key, file.name)] = file.last_write;
      access.writable = access.writable && file.writable;
    }
    // A folder listed only with files is visible; its write flag is that of
    // its files (one flag per folder).
    folders_[folder_key] = access;
  }
}

FolderAccess RemoteView::Access(std::string_view folder_key) const {
  std::string key(folder_key);
  for (;;) {
    const auto found = folders_.find(key);
    if (found != folders_.end()) return found->second;
    if (key.empty()) return FolderAccess{};
    key = ParentKey(key);
  }
}

bool RemoteView::HasFolder(std::string_view key) const {
  if (key.empty() || folders_.count(std::string(key)) != 0) return true;
  // Keys below key sort right after key + "\\".
  const std::string below = std::string(key) + '\\';
  const auto next = folders_.lower_bound(below);
  return next != folders_.end() && next->first.starts_with(below);
}

std::string ConflictName(std::string_view file_name, std::string_view user, std::string_view stamp,
                         int attempt) {
  std::size_t dot = file_name.rfind('.');
  if (dot == 0 || dot == std::string_view::npos) dot = file_name.size();
  std::string name(file_name.substr(0, dot));
  name += " (conflict ";
  for (const char c : user) {
    // One character is a plain name unless a name cannot hold it ("." can).
    name += c == '.' || IsPlainName(std::string_view(&c, 1)) ? c : '_';
  }
  name += ' ';
  name += stamp;
  if (attempt > 1) name += " " + std::to_string(attempt);
  name += ")";
  name += file_name.substr(dot);
  return name;
}

const char* StepName(SyncStep step) {
  switch (step) {
    case SyncStep::kConflict:
      return "conflict";
    case SyncStep::kDownload:
      return "download";
    case SyncStep::kUpload:
      return "upload";
    case SyncStep::kDeleteLocal:
      return "delete here";
    case SyncStep::kDeleteRemote:
      return "delete on server";
    case SyncStep::kRecord:
      return "in sync";
    case SyncStep::kForget:
      return "forget";
    case SyncStep::kKeep:
      return "keep";
  }
  return "?";
}

namespace {

// One file's decision; the caller fills key and the listed values.
class FilePlanner {
 public:
  FilePlanner(const SyncOptions& options, const RemoteView& view)
      : options_(options), view_(view) {}

  // s: what the last sync recorded (or the unconfirmed upload the server now
  // shows: then confirmed_late).
  void Decide(SyncAction& a, const LocalFile* l, const platform::FileTime* r, const SyncedFile* s,
              bool confirmed_late) const {
    const FolderAccess access = view_.Access(ParentKey(a.key));
    if (access.hidden) {
      Keep(a, "the folder is hidden from you on the server");
      return;
    }
    if (l != nullptr && ParentKey(a.key) == kScanRootFolderName) {
      Keep(a, "a top-level folder named RootFolder cannot be told apart from the project root");
      return;
    }
    const bool local_changed = l != nullptr && s != nullptr && LocalChanged(*l, *s);
    const bool remote_changed = r != nullptr && s != nullptr && *r != s->remote_time;
    if (l != nullptr && r != nullptr) {
      if (s != nullptr && !local_changed && !remote_changed) {
        // Unchanged (dropped by the caller), or an earlier upload confirmed now.
        a.step = SyncStep::kRecord;
        if (confirmed_late) a.reason = "the server shows the earlier upload";
      } else if (s != nullptr && local_changed && !remote_changed) {
        Upload(a, access, "changed here");
      } else if (s != nullptr && !local_changed) {
        Set(a, SyncStep::kDownload, "changed on the server");
      } else if (s != nullptr) {
        // Even to the same time: two edits within one tick of the clock.
        Conflict(a, access, "changed on both sides");
      } else if (l->last_write == *r) {
        // New on both sides with the same time: taken as the same file.
        Set(a, SyncStep::kRecord, "same time on both sides");
      } else {
        Conflict(a, access, "new on both sides with different times");
      }
    } else if (l != nullptr) {
      if (s == nullptr) {
        Upload(a, access, "new here");
      } else if (local_changed) {
        Upload(a, access, "deleted on the server, changed here");
      } else if (options_.propagate_deletes) {
        Set(a, SyncStep::kDeleteLocal, "deleted on the server");
      } else {
        Keep(a, "deleted on the server (--delete removes it here)");
      }
    } else if (r != nullptr) {
      if (s == nullptr) {
        Set(a, SyncStep::kDownload, "new on the server");
      } else if (remote_changed) {
        Set(a, SyncStep::kDownload, "deleted here, changed on the server");
      } else if (!options_.propagate_deletes) {
        Keep(a, "deleted here (--delete removes it on the server)");
      } else if (!access.writable) {
        Keep(a, "deleted here, but the folder is read-only for you on the server");
      } else {
        Set(a, SyncStep::kDeleteRemote, "deleted here");
      }
    } else {
      Set(a, SyncStep::kForget, "gone from both sides");
    }
  }

 private:
  static void Set(SyncAction& a, SyncStep step, const char* reason) {
    a.step = step;
    a.reason = reason;
  }
  static void Keep(SyncAction& a, const char* reason) { Set(a, SyncStep::kKeep, reason); }
  static void Conflict(SyncAction& a, const FolderAccess& access, const char* reason) {
    Set(a, SyncStep::kConflict, reason);
    a.upload_conflict_copy = access.writable;
  }
  // Another size or time, or (both known) other contents than recorded.
  static bool LocalChanged(const LocalFile& l, const SyncedFile& s) {
    return l.size != s.size || l.last_write != s.local_time ||
           (!l.digest.empty() && !s.digest.empty() && l.digest != s.digest);
  }
  static void Upload(SyncAction& a, const FolderAccess& access, const char* reason) {
    if (access.writable) {
      Set(a, SyncStep::kUpload, reason);
    } else {
      a.step = SyncStep::kKeep;
      a.reason = std::string(reason) + ", but the folder is read-only for you on the server";
    }
  }

  const SyncOptions& options_;  // borrowed from the caller for the planning call
  const RemoteView& view_;      // likewise
};

template <typename Map>
const typename Map::mapped_type* Find(const Map& map, const std::string& key) {
  const auto found = map.find(key);
  return found == map.end() ? nullptr : &found->second;
}

// Turns planned deletions into kept files when the other side lists nothing
// at all: an empty listing is far more likely a fault than a wish.
void GuardMassDeletion(std::vector<SyncAction>& plan, bool remote_empty, bool local_empty) {
  for (SyncAction& a : plan) {
    if (a.step == SyncStep::kDeleteLocal && remote_empty) {
      a.step = SyncStep::kKeep;
      a.reason = "the server lists no files at all; nothing is deleted here";
    } else if (a.step == SyncStep::kDeleteRemote && local_empty) {
      a.step = SyncStep::kKeep;
      a.reason = "the local folder holds no files at all; nothing is deleted on the server";
    }
  }
}

void PickConflictNames(std::vector<SyncAction>& plan, const SyncState& state,
                       const LocalListing& local, const RemoteView& view,
                       const SyncOptions& options) {
  std::set<std::string> taken;
  for (const auto& entry : local) taken.insert(entry.first);
  for (const auto& entry : view.files()) taken.insert(entry.first);
  for (const auto& entry : state.files) taken.insert(entry.first);
  for (SyncAction& a : plan) {
    if (a.step != SyncStep::kConflict) continue;
    const std::string folder = ParentKey(a.key);
    for (int attempt = 1;; ++attempt) {
      const std::string candidate = JoinKey(
          folder,
          ConflictName(LeafName(a.key), options.conflict_user, options.conflict_stamp, attempt));
      if (taken.insert(candidate).second) {
        a.conflict_key = candidate;
        break;
      }
    }
  }
}

}  // namespace

std::vector<SyncAction> PlanSync(const SyncState& state, const LocalListing& local,
                                 const ScanResult& remote, const SyncOptions& options) {
  const RemoteView view(remote);
  std::set<std::string> keys;
  for (const auto& entry : state.files) keys.insert(entry.first);
  for (const auto& entry : state.sent) keys.insert(entry.first);
  for (const auto& entry : local) keys.insert(entry.first);
  for (const auto& entry : view.files()) keys.insert(entry.first);

  const FilePlanner planner(options, view);
  std::vector<SyncAction> plan;
  for (const std::string& key : keys) {
    SyncAction a;
    a.key = key;
    const LocalFile* l = Find(local, key);
    const platform::FileTime* r = Find(view.files(), key);
    const SyncedFile* s = Find(state.files, key);
    const SyncedFile* sent = Find(state.sent, key);
    const bool confirmed_late = sent != nullptr && r != nullptr && *r == sent->remote_time;
    if (confirmed_late) s = sent;
    if (l != nullptr) {
      a.has_local = true;
      a.local = *l;
    }
    if (r != nullptr) {
      a.has_remote = true;
      a.remote_time = *r;
    }
    planner.Decide(a, l, r, s, confirmed_late);
    if (a.step == SyncStep::kRecord && a.reason.empty()) continue;  // nothing to do
    plan.push_back(std::move(a));
  }
  GuardMassDeletion(plan, view.files().empty(), local.empty());
  PickConflictNames(plan, state, local, view, options);
  std::stable_sort(plan.begin(), plan.end(), [](const SyncAction& x, const SyncAction& y) {
    return static_cast<int>(x.step) < static_cast<int>(y.step);
  });
  return plan;
}

}  // namespace kestrel::client
