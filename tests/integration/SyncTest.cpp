// The sync engine in-process against the real kestrel-server process: both
// directions with times, conflicts, dry runs, deletions and folder rights.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DemoServer.h"
#include "client/ClientLink.h"
#include "client/SyncPlan.h"
#include "client/SyncRunner.h"
#include "client/Transfers.h"
#include "client/WorkFolder.h"
#include "platform/FileSystem.h"
#include "testsupport/ServerProcess.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;
using client::SyncStep;

// Keeps everything a run tells.
class RecordingObserver : public client::SyncObserver {
 public:
  void OnSkipped(const client::SkippedName& skipped) override { skipped_.push_back(skipped.key); }
  void OnUntranslatable(int) override {}
  void OnWouldCreateRoot() override { would_create_root = true; }
  void OnStep(const client::SyncAction& action, bool dry_run) override {
    steps.push_back(action);
    dry_steps += dry_run ? 1 : 0;
  }
  void OnWarning(const std::string& text) override { warnings.push_back(text); }
  void OnError(const std::string& text) override { errors.push_back(text); }
  std::unique_ptr<client::TransferObserver> WatchTransfer(const std::string&) override {
    return nullptr;
  }

  // Keys of the steps of one kind, in order.
  std::vector<std::string> Keys(SyncStep step) const {
    std::vector<std::string> keys;
    for (const client::SyncAction& a : steps) {
      if (a.step == step) keys.push_back(a.key);
    }
    return keys;
  }
  const client::SyncAction* Find(SyncStep step, const std::string& key) const {
    for (const client::SyncAction& a : steps) {
      if (a.step == step && a.key == key) return &a;
    }
    return nullptr;
  }

  std::vector<client::SyncAction> steps;
  int dry_steps = 0;
  std::vector<std::string> skipped_;
  std::vector<std::string> warnings;
  std::vector<std::string> errors;
  bool would_create_root = false;
};

struct SyncRun {
  client::SyncOutcome outcome;
  RecordingObserver seen;
  bool done() const { return outcome.status == client::SyncStatus::kDone; }
};

struct SyncCall {
  std::string user = "alice";
  bool dry_run = false;
  bool deletes = false;
};

class SyncTest : public ::testing::Test {
 protected:
  void StartServer(bool privileges = false) { ASSERT_NO_FATAL_FAILURE(demo_.Start(privileges)); }

  client::LinkSettings Link(const std::string& user) const {
    client::LinkSettings settings;
    settings.host = "127.0.0.1";
    settings.port = demo_.port();
    settings.project = "Demo";
    settings.user = user;
    settings.global_key = "qa7b5N2dkeMw8rf";
    return settings;
  }

  // One sync of the client folder `folder` (created unless a dry run).
  SyncRun Sync(const std::string& folder, const SyncCall& call = {}) {
    SyncRun run;
    client::ClientLink link(Link(call.user));
    if (const client::LinkResult in = link.LoginClient(DemoPassword(call.user)); !in.ok()) {
      ADD_FAILURE() << in.message;
      return run;
    }
    client::SyncSettings settings;
    settings.root = demo_.Client(folder);
    settings.password = DemoPassword(call.user);
    settings.dry_run = call.dry_run;
    settings.propagate_deletes = call.deletes;
    if (!call.dry_run) std::filesystem::create_directories(settings.root);
    client::SyncRunner runner(link, settings, run.seen, nullptr);
    run.outcome = runner.Run();
    return run;
  }

  // Another user's upload of a scratch file (the logout makes the server rescan).
  void PutAs(const std::string& user, const std::string& source, const std::string& folder) {
    client::ClientLink link(Link(user));
    ASSERT_TRUE(link.LoginClient(DemoPassword(user)).ok());
    client::WorkFolder work;
    const client::TransferResult sent =
        client::Transfers(link, work)
            .Upload(source, folder, std::filesystem::path(source).filename().string(), std::nullopt,
                    nullptr);
    ASSERT_TRUE(sent) << sent.message;
    ASSERT_TRUE(link.Logout().ok());
  }
  void RmAs(const std::string& user, const std::string& folder, const std::string& file) {
    client::ClientLink link(Link(user));
    ASSERT_TRUE(link.LoginClient(DemoPassword(user)).ok());
    client::WorkFolder work;
    const client::TransferResult deleted = client::Transfers(link, work).Delete(folder, file);
    ASSERT_TRUE(deleted) << deleted.message;
    ASSERT_TRUE(link.Logout().ok());
  }

  // Docs\team.csv edited here (contents, time) and by bob on the server
  // ("server edit\n", time); returns once the server lists bob's time.
  void EditTeamOnBothSides(const std::string& local, std::int64_t local_seconds,
                           std::int64_t server_seconds) {
    ASSERT_TRUE(WriteFile(demo_.Client("work/Docs/team.csv"), local));
    SetTime(demo_.Client("work/Docs/team.csv"), local_seconds, 0);
    ASSERT_TRUE(WriteFile(demo_.Scratch("team.csv"), "server edit\n"));
    SetTime(demo_.Scratch("team.csv"), server_seconds, 0);
    ASSERT_NO_FATAL_FAILURE(PutAs("bob", demo_.Scratch("team.csv"), "Docs"));
    ASSERT_TRUE(WaitFor(
        [&] { return ListedTime("Docs\\team.csv") == TimeOf(demo_.Scratch("team.csv")); }, 20s));
  }
  // The name of the conflict copy of Docs\team.csv in a run ("" when none).
  static std::string ConflictCopy(const SyncRun& run) {
    const client::SyncAction* conflict = run.seen.Find(SyncStep::kConflict, "Docs\\team.csv");
    return conflict == nullptr ? std::string() : conflict->conflict_key.substr(5);
  }

  // The time alice's scan result lists for key, if it lists it.
  std::optional<platform::FileTime> ListedTime(const std::string& key) {
    client::ClientLink link(Link("alice"));
    if (!link.LoginClient(DemoPassword("alice")).ok()) return std::nullopt;
    client::WorkFolder work;
    client::ScanResult result;
    if (!client::Transfers(link, work).FetchScanResult(result)) return std::nullopt;
    const client::RemoteView view(result);
    const auto found = view.files().find(key);
    if (found == view.files().end()) return std::nullopt;
    return found->second;
  }
  // Waits (bounded) until alice's scan result does or does not list key.
  bool WaitListed(const std::string& key, bool listed) {
    return WaitFor([&] { return ListedTime(key).has_value() == listed; }, 20s);
  }

  DemoServer demo_;
};

TEST_F(SyncTest, CopiesBothWaysWithTimesAndASecondSyncChangesNothing) {
  StartServer();
  const SyncRun first = Sync("work");
  ASSERT_TRUE(first.done()) << testing::PrintToString(first.seen.errors);
  EXPECT_EQ(first.outcome.changes, 2);
  EXPECT_EQ(ReadFile(demo_.Client("work/Docs/team.csv")), "Alice,Staff\nBob,Guests\n");
  EXPECT_EQ(TimeOf(demo_.Client("work/Docs/team.csv")), TimeOf(demo_.Root("Docs/team.csv")));
  EXPECT_EQ(TimeOf(demo_.Client("work/readme.txt")), TimeOf(demo_.Root("readme.txt")));
  EXPECT_TRUE(std::filesystem::exists(demo_.Client("work/.kestrel-sync")));

  // Local changes go up with their times.
  ASSERT_TRUE(
      WriteFile(demo_.Client("work/Docs/team.csv"), "Alice,Staff\nBob,Guests\nCarol,Staff\n"));
  SetTime(demo_.Client("work/Docs/team.csv"), 1700000000, 500);
  ASSERT_TRUE(WriteFile(demo_.Client("work/New/notes.md"), RandomBytes(3000, 3)));
  const SyncRun up = Sync("work");
  ASSERT_TRUE(up.done()) << testing::PrintToString(up.seen.errors);
  EXPECT_EQ(up.seen.Keys(SyncStep::kUpload),
            (std::vector<std::string>{"Docs\\team.csv", "New\\notes.md"}));
  EXPECT_EQ(ReadFile(demo_.Root("Docs/team.csv")), "Alice,Staff\nBob,Guests\nCarol,Staff\n");
  EXPECT_EQ(TimeOf(demo_.Root("Docs/team.csv")), TimeOf(demo_.Client("work/Docs/team.csv")));
  EXPECT_EQ(ReadFile(demo_.Root("New/notes.md")), ReadFile(demo_.Client("work/New/notes.md")));
  EXPECT_TRUE(up.seen.warnings.empty()) << up.seen.warnings[0];  // both confirmed

  // A change by another user comes down.
  ASSERT_TRUE(WriteFile(demo_.Scratch("readme.txt"), "Bob was here\n"));
  ASSERT_NO_FATAL_FAILURE(PutAs("bob", demo_.Scratch("readme.txt"), "RootFolder"));
  ASSERT_TRUE(WaitFor(
      [&] {
        Sync("work");
        return ReadFile(demo_.Client("work/readme.txt")) == "Bob was here\n";
      },
      20s));
  EXPECT_EQ(TimeOf(demo_.Client("work/readme.txt")), TimeOf(demo_.Root("readme.txt")));

  const SyncRun again = Sync("work");
  ASSERT_TRUE(again.done());
  EXPECT_EQ(again.outcome.changes, 0);
}

TEST_F(SyncTest, ConflictKeepsBothFilesAndNeverOverwritesTheLocalEdit) {
  StartServer();
  ASSERT_TRUE(Sync("work").done());
  ASSERT_NO_FATAL_FAILURE(EditTeamOnBothSides("local edit\n", 1700000000, 1710000000));
  const SyncRun sync = Sync("work");
  ASSERT_TRUE(sync.done()) << testing::PrintToString(sync.seen.errors);
  const std::string copy = ConflictCopy(sync);
  EXPECT_EQ(copy.rfind("team (conflict alice ", 0), 0u) << copy;
  EXPECT_EQ(ReadFile(demo_.Client("work/Docs/team.csv")), "server edit\n");
  EXPECT_EQ(ReadFile(demo_.Client("work/Docs/" + copy)), "local edit\n");
  // Both versions are on the server too.
  EXPECT_EQ(ReadFile(demo_.Root("Docs/" + copy)), "local edit\n");
  EXPECT_EQ(ReadFile(demo_.Root("Docs/team.csv")), "server edit\n");
}

TEST_F(SyncTest, DryRunPlansEveryStepAndChangesNothingAnywhere) {
  StartServer();
  ASSERT_TRUE(Sync("work").done());
  ASSERT_TRUE(WriteFile(demo_.Client("work/local-only.txt"), "new here"));
  std::filesystem::remove(demo_.Client("work/readme.txt"));
  ASSERT_TRUE(WriteFile(demo_.Scratch("srv.txt"), "new there"));
  ASSERT_NO_FATAL_FAILURE(PutAs("bob", demo_.Scratch("srv.txt"), "RootFolder"));
  ASSERT_TRUE(WaitListed("srv.txt", true));
  const std::vector<std::string> local_before = Listing(demo_.Client("work"));
  const std::vector<std::string> server_before = Listing(demo_.Root(""));
  const SyncRun dry = Sync("work", {.dry_run = true, .deletes = true});
  ASSERT_TRUE(dry.done());
  EXPECT_EQ(dry.seen.Keys(SyncStep::kUpload), std::vector<std::string>{"local-only.txt"});
  EXPECT_EQ(dry.seen.Keys(SyncStep::kDownload), std::vector<std::string>{"srv.txt"});
  EXPECT_EQ(dry.seen.Keys(SyncStep::kDeleteRemote), std::vector<std::string>{"readme.txt"});
  EXPECT_EQ(dry.seen.dry_steps, static_cast<int>(dry.seen.steps.size()));
  EXPECT_EQ(dry.outcome.changes, 3);
  EXPECT_EQ(Listing(demo_.Client("work")), local_before);
  EXPECT_EQ(Listing(demo_.Root("")), server_before);
  // A dry run into a folder that does not exist does not create it.
  const SyncRun fresh = Sync("fresh", {.dry_run = true});
  EXPECT_TRUE(fresh.done());
  EXPECT_TRUE(fresh.seen.would_create_root);
  EXPECT_FALSE(std::filesystem::exists(demo_.Client("fresh")));
}

TEST_F(SyncTest, DeletionsTravelOnlyWithDelete) {
  StartServer();
  ASSERT_TRUE(Sync("work").done());
  std::filesystem::remove(demo_.Client("work/readme.txt"));
  const SyncRun kept = Sync("work");
  ASSERT_TRUE(kept.done());
  EXPECT_TRUE(std::filesystem::exists(demo_.Root("readme.txt")));
  const client::SyncAction* keep = kept.seen.Find(SyncStep::kKeep, "readme.txt");
  ASSERT_NE(keep, nullptr);
  EXPECT_NE(keep->reason.find("--delete removes it on the server"), std::string::npos);
  ASSERT_TRUE(Sync("work", {.deletes = true}).done());
  EXPECT_FALSE(std::filesystem::exists(demo_.Root("readme.txt")));

  // And the other way round.
  ASSERT_NO_FATAL_FAILURE(RmAs("bob", "Docs", "team.csv"));
  ASSERT_TRUE(WaitListed("Docs\\team.csv", false));
  ASSERT_TRUE(Sync("work").done());
  EXPECT_TRUE(std::filesystem::exists(demo_.Client("work/Docs/team.csv")));
  // The server now lists no file at all: that is never taken as a wish to
  // empty the local folder.
  const SyncRun guarded = Sync("work", {.deletes = true});
  ASSERT_TRUE(guarded.done());
  const client::SyncAction* guard = guarded.seen.Find(SyncStep::kKeep, "Docs\\team.csv");
  ASSERT_NE(guard, nullptr);
  EXPECT_NE(guard->reason.find("lists no files at all"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(demo_.Client("work/Docs/team.csv")));
  ASSERT_TRUE(WriteFile(demo_.Scratch("other.txt"), "x"));
  ASSERT_NO_FATAL_FAILURE(PutAs("bob", demo_.Scratch("other.txt"), "RootFolder"));
  ASSERT_TRUE(WaitListed("other.txt", true));
  ASSERT_TRUE(Sync("work", {.deletes = true}).done());
  EXPECT_FALSE(std::filesystem::exists(demo_.Client("work/Docs/team.csv")));
  EXPECT_TRUE(std::filesystem::exists(demo_.Client("work/other.txt")));
}

TEST_F(SyncTest, HiddenFoldersStayAwayAndReadOnlyFoldersTakeNoUploads) {
  StartServer(true);
  ASSERT_TRUE(Sync("bobwork", {.user = "bob"}).done());
  EXPECT_TRUE(std::filesystem::exists(demo_.Client("bobwork/Docs/team.csv")));
  EXPECT_FALSE(std::filesystem::exists(demo_.Client("bobwork/Secret")));
  ASSERT_TRUE(WriteFile(demo_.Client("bobwork/Docs/new.txt"), "bob's"));
  const SyncRun sync = Sync("bobwork", {.user = "bob"});
  ASSERT_TRUE(sync.done());
  const client::SyncAction* kept = sync.seen.Find(SyncStep::kKeep, "Docs\\new.txt");
  ASSERT_NE(kept, nullptr);
  EXPECT_NE(kept->reason.find("read-only"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(demo_.Root("Docs/new.txt")));
}

TEST_F(SyncTest, EditsOnBothSidesWithinOneClockTickAreAConflictNotZeroChanges) {
  StartServer();
  ASSERT_TRUE(Sync("work").done());
  // Both edits end up with the very same last-write time.
  ASSERT_NO_FATAL_FAILURE(EditTeamOnBothSides("alice's edit\n", 1750000000, 1750000000));
  const SyncRun sync = Sync("work");
  ASSERT_TRUE(sync.done()) << testing::PrintToString(sync.seen.errors);
  const std::string copy = ConflictCopy(sync);
  ASSERT_FALSE(copy.empty()) << sync.outcome.changes;
  EXPECT_EQ(ReadFile(demo_.Client("work/Docs/team.csv")), "server edit\n");
  EXPECT_EQ(ReadFile(demo_.Client("work/Docs/" + copy)), "alice's edit\n");
  EXPECT_EQ(ReadFile(demo_.Root("Docs/" + copy)), "alice's edit\n");
}

TEST_F(SyncTest, EditKeepingSizeAndTimeIsUploadedAndReachesTheOtherUsers) {
  StartServer();
  ASSERT_TRUE(Sync("work").done());
  ASSERT_TRUE(Sync("bobwork", {.user = "bob"}).done());
  // Same size, old time kept (as cp -p or touch -r do).
  const platform::FileTime before = TimeOf(demo_.Client("work/Docs/team.csv"));
  ASSERT_TRUE(WriteFile(demo_.Client("work/Docs/team.csv"), "Alice,Staff\nBob,Admins\n"));
  ASSERT_EQ(platform::SetLastWriteTime(demo_.Client("work/Docs/team.csv"), before), 0);

  const SyncRun up = Sync("work");
  ASSERT_TRUE(up.done()) << testing::PrintToString(up.seen.errors);
  EXPECT_EQ(up.seen.Keys(SyncStep::kUpload), std::vector<std::string>{"Docs\\team.csv"});
  EXPECT_EQ(ReadFile(demo_.Root("Docs/team.csv")), "Alice,Staff\nBob,Admins\n");
  // The server's copy gets a time other clients see as a change.
  EXPECT_NE(TimeOf(demo_.Root("Docs/team.csv")), before);
  EXPECT_EQ(Sync("work").outcome.changes, 0);
  const SyncRun down = Sync("bobwork", {.user = "bob"});
  ASSERT_TRUE(down.done());
  EXPECT_EQ(down.seen.Keys(SyncStep::kDownload), std::vector<std::string>{"Docs\\team.csv"});
  EXPECT_EQ(ReadFile(demo_.Client("bobwork/Docs/team.csv")), "Alice,Staff\nBob,Admins\n");
}

TEST_F(SyncTest, ServerRefusalsAreReportedAsRefusalsNotAsTimeOuts) {
  StartServer();
  ASSERT_TRUE(WriteFile(demo_.Scratch("outside.txt"), "mine"));
  client::LinkSettings settings = Link("alice");
  settings.timeout = 1s;
  client::ClientLink link(settings);
  ASSERT_TRUE(link.LoginClient(DemoPassword("alice")).ok());
  client::WorkFolder work;
  client::Transfers transfers(link, work);
  // The server answers names it will not serve with silence.
  const client::TransferResult down =
      transfers.Download("..\\..", "outside.txt", demo_.Scratch("x.txt"), std::nullopt, nullptr);
  EXPECT_EQ(down.status, client::TransferStatus::kRefused);
  EXPECT_EQ(down.message,
            "the server refused the download request for ../../outside.txt (rights or name)");
  const client::TransferResult up = transfers.Upload(demo_.Scratch("outside.txt"), "..\\..",
                                                     "outside.txt", std::nullopt, nullptr);
  EXPECT_EQ(up.status, client::TransferStatus::kRefused);
  EXPECT_NE(up.message.find("refused the upload request"), std::string::npos) << up.message;
  const client::TransferResult gone = transfers.Delete("..\\..", "outside.txt");
  EXPECT_EQ(gone.status, client::TransferStatus::kRefused);
  // A server that answers nothing at all did not refuse anything.
  ASSERT_TRUE(demo_.process().Signal(SIGSTOP));
  const client::TransferResult silent = transfers.Delete("..\\..", "outside.txt");
  ASSERT_TRUE(demo_.process().Signal(SIGCONT));
  EXPECT_EQ(silent.status, client::TransferStatus::kNoReply);
  EXPECT_NE(silent.message.find("no reply from the server within 1 s"), std::string::npos)
      << silent.message;
}

}  // namespace
}  // namespace kestrel::test
