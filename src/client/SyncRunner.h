#pragma once
// One synchronisation of a local folder with the user's project: read the
// state file, list both sides, plan (client/SyncPlan.h), carry the plan out,
// let the server rescan and confirm what was sent, save the new state. What
// happens is told to a SyncObserver, which prints it or not.
//
// Threads: one thread (the stop flag may be set from anywhere).
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientLink.h"
#include "client/LocalTree.h"
#include "client/SyncPlan.h"
#include "client/SyncState.h"
#include "client/Transfers.h"
#include "client/WorkFolder.h"

namespace kestrel::client {

struct SyncSettings {
  std::string root;      // system path of the local folder
  std::string password;  // for logging in again after the rescan
  bool dry_run = false;
  bool propagate_deletes = false;
  int settle_seconds = 30;  // how long to wait for the server's scan to show our changes
  bool show_kept = true;    // report the files left alone, with the reason
};

// What a run tells as it goes.
class SyncObserver {
 public:
  virtual ~SyncObserver() = default;
  // A local name left out (reported when show_kept), and the count of names
  // with characters above U+00FF.
  virtual void OnSkipped(const SkippedName& skipped) = 0;
  virtual void OnUntranslatable(int count) = 0;
  // Dry run: the local folder does not exist and would be created.
  virtual void OnWouldCreateRoot() = 0;
  // A step about to be carried out (or, in a dry run, planned).
  virtual void OnStep(const SyncAction& action, bool dry_run) = 0;
  virtual void OnWarning(const std::string& text) = 0;
  virtual void OnError(const std::string& text) = 0;
  // The progress of the transfer of one file; may give null.
  virtual std::unique_ptr<TransferObserver> WatchTransfer(const std::string& shown_key) = 0;
};

enum class SyncStatus {
  kDone,
  kNoScanResult,  // the server's list could not be fetched (message told)
  kLocal,         // the local folder or the state file could not be used
  kIncomplete,    // some steps failed or the run was stopped; the next sync tries again
};

struct SyncOutcome {
  SyncStatus status = SyncStatus::kDone;
  int changes = 0;           // steps carried out (or planned, in a dry run)
  LocalListing local_after;  // the local files after the run
};

class SyncRunner {
 public:
  // link: borrowed, logged in as a client; settings, observer: borrowed;
  // stop: borrowed, may be null (the run ends after the current step once it
  // is set). All must outlive the runner.
  SyncRunner(ClientLink& link, const SyncSettings& settings, SyncObserver& observer,
             const std::atomic<bool>* stop);

  SyncOutcome Run();

 private:
  struct Pending {
    std::string key;
    bool deleted = false;  // a deletion on the server, else an upload
    SyncedFile expected;   // an upload's size and times
  };

  bool LoadState();
  // The digests of the local files that look unchanged since the last sync.
  void AddDigests(LocalListing& files);
  // The digest of a listed local file (read now when the listing has none).
  std::string DigestOf(const std::string& key, const LocalFile& listed) const;
  bool Execute(const SyncAction& action);
  bool DoConflict(const SyncAction& action);
  bool DoDownload(const SyncAction& action, const std::string& key);
  // server_time: the time the server lists for key, if it lists it.
  bool DoUpload(const std::string& key, const LocalFile& listed,
                std::optional<platform::FileTime> server_time);
  bool DoDeleteLocal(const SyncAction& action);
  bool DoDeleteRemote(const SyncAction& action);
  // The local file still as listed (nothing changed it since).
  bool StillAsListed(const std::string& key, const SyncAction& action);
  bool MakeFolders(const std::string& folder_key);
  void Confirm();
  bool Stopped() const { return stop_ != nullptr && stop_->load(); }

  ClientLink& link_;               // borrowed, outlives the runner
  const SyncSettings& settings_;   // borrowed, outlives the runner
  SyncObserver& observer_;         // borrowed, outlives the runner
  const std::atomic<bool>* stop_;  // borrowed (process-wide flag), may be null
  WorkFolder work_;
  Transfers transfers_;
  SyncState state_;
  std::vector<Pending> pending_;
};

}  // namespace kestrel::client
