#pragma once
// One synchronisation of a local folder with the user's project: read the
// state file, list both sides, plan (client/SyncPlan.h), carry the plan out,
// let the server rescan and confirm what was sent, save the new state.
//
// Main thread only.
#include <atomic>
#include <string>

#include "ServerLink.h"
#include "Transfers.h"
#include "client/LocalTree.h"
#include "client/SyncPlan.h"
#include "client/SyncState.h"

namespace kestrel::cli {

struct SyncSettings {
  std::string root;      // system path of the local folder
  std::string password;  // for logging in again after the rescan
  bool dry_run = false;
  bool propagate_deletes = false;
  int settle_seconds = 30;  // how long to wait for the server's scan to show our changes
  bool show_kept = true;    // print the files left alone, with the reason
};

struct SyncOutcome {
  int exit_code = 0;
  int changes = 0;                   // steps carried out (or planned, in a dry run)
  client::LocalListing local_after;  // the local files after the run
};

class SyncRunner {
 public:
  // link: borrowed, logged in; settings: borrowed; stop: borrowed, may be null
  // (set by a signal handler: the run ends after the current step).
  SyncRunner(ServerLink& link, const SyncSettings& settings, const std::atomic<bool>* stop);

  SyncOutcome Run();

 private:
  struct Pending {
    std::string key;
    bool deleted = false;         // a deletion on the server, else an upload
    client::SyncedFile expected;  // an upload's size and time
  };

  bool LoadState();
  bool Execute(const client::SyncAction& action);
  bool DoConflict(const client::SyncAction& action);
  bool DoDownload(const client::SyncAction& action, const std::string& key);
  bool DoUpload(const std::string& key, const client::LocalFile& listed);
  bool DoDeleteLocal(const client::SyncAction& action);
  bool DoDeleteRemote(const client::SyncAction& action);
  // The local file still as listed (nothing changed it since).
  bool StillAsListed(const std::string& key, const client::SyncAction& action);
  bool MakeFolders(const std::string& folder_key);
  void Confirm();
  bool Stopped() const { return stop_ != nullptr && stop_->load(); }

  ServerLink& link_;               // borrowed, outlives the runner
  const SyncSettings& settings_;   // borrowed, outlives the runner
  const std::atomic<bool>* stop_;  // borrowed (process-wide flag), may be null
  WorkFolder work_;
  Transfers transfers_;
  client::SyncState state_;
  std::vector<Pending> pending_;
};

}  // namespace kestrel::cli
