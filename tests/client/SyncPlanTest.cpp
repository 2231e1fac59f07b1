// The two-way sync planner: every combination of local, server and last-sync
// state, rights, conflicts and the guards against losing files.
#include "client/SyncPlan.h"

#include <gtest/gtest.h>

namespace kestrel::client {
namespace {

constexpr const char* kStamp = "2026-12-08 1530";

RemoteFile RF(const char* name, platform::FileTime t, bool writable = true) {
  return RemoteFile{name, t, writable};
}

RemoteFolder Folder(const char* name, std::vector<RemoteFile> files) {
  return RemoteFolder{name, false, std::move(files)};
}

RemoteFolder Hidden(const char* name) {
  return RemoteFolder{name, true, {}};
}

struct Fixture {
  SyncState state{"Demo", "alice", {}};
  LocalListing local;
  ScanResult remote;
  SyncOptions options{false, "alice", kStamp};

  std::vector<SyncAction> Plan() const { return PlanSync(state, local, remote, options); }
  // The one action for key (fails the test when there is not exactly one).
  SyncAction Only(const std::string& key) const {
    const std::vector<SyncAction> plan = Plan();
    std::vector<SyncAction> found;
    for (const SyncAction& a : plan) {
      if (a.key == key) found.push_back(a);
    }
    EXPECT_EQ(found.size(), 1u) << key;
    return found.empty() ? SyncAction{} : found[0];
  }
  // Local, server and state all agree on key.
  void InSync(const std::string& key, const char* folder, const char* name, platform::FileTime t,
              std::uint64_t size = 10) {
    local[key] = LocalFile{size, t};
    state.files[key] = SyncedFile{size, t, t};
    AddRemote(folder, RF(name, t));
  }
  void AddRemote(const char* folder, RemoteFile file) {
    for (RemoteFolder& f : remote.folders) {
      if (f.name == folder) {
        f.files.push_back(file);
        return;
      }
    }
    remote.folders.push_back(Folder(folder, {file}));
  }
};

TEST(SyncPlan, NothingAnywherePlansNothing) {
  Fixture f;
  EXPECT_TRUE(f.Plan().empty());
}

TEST(SyncPlan, FilesUnchangedOnBothSidesSinceTheLastSyncPlanNothing) {
  Fixture f;
  f.InSync("readme.txt", "RootFolder", "readme.txt", 100);
  f.InSync("Docs\\team.csv", "Docs", "team.csv", 200);
  EXPECT_TRUE(f.Plan().empty());
}

TEST(SyncPlan, NewOnTheServerIsDownloadedWithTheServersTime) {
  Fixture f;
  f.AddRemote("Docs\\2020", RF("a.txt", 555));
  const SyncAction a = f.Only("Docs\\2020\\a.txt");
  EXPECT_EQ(a.step, SyncStep::kDownload);
  EXPECT_EQ(a.remote_time, 555u);
  EXPECT_FALSE(a.has_local);
}

TEST(SyncPlan, NewHereIsUploadedIntoAWritableFolder) {
  Fixture f;
  f.remote.folders.push_back(Folder("Docs", {RF("other.txt", 1)}));
  f.local["Docs\\new.txt"] = LocalFile{3, 77};
  const SyncAction a = f.Only("Docs\\new.txt");
  EXPECT_EQ(a.step, SyncStep::kUpload);
  EXPECT_EQ(a.local.last_write, 77u);
}

TEST(SyncPlan, ChangedOnTheServerOnlyIsDownloaded) {
  Fixture f;
  f.InSync("a.txt", "RootFolder", "a.txt", 100);
  f.remote.folders[0].files[0].last_write = 90;  // older is a change too
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kDownload);
}

TEST(SyncPlan, ChangedHereByTimeOrBySizeAloneIsUploaded) {
  Fixture f;
  f.InSync("a.txt", "RootFolder", "a.txt", 100);
  f.InSync("b.txt", "RootFolder", "b.txt", 100);
  f.local["a.txt"].last_write = 150;
  f.local["b.txt"].size = 11;  // same time, other size
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kUpload);
  EXPECT_EQ(f.Only("b.txt").step, SyncStep::kUpload);
}

TEST(SyncPlan, ChangedOnBothSidesKeepsTheLocalCopyUnderAConflictNameAndDownloads) {
  Fixture f;
  f.InSync("Docs\\team.csv", "Docs", "team.csv", 100);
  f.local["Docs\\team.csv"].last_write = 150;
  f.remote.folders[0].files[0].last_write = 160;
  const SyncAction a = f.Only("Docs\\team.csv");
  EXPECT_EQ(a.step, SyncStep::kConflict);
  EXPECT_EQ(a.conflict_key, "Docs\\team (conflict alice 2026-12-08 1530).csv");
  EXPECT_TRUE(a.upload_conflict_copy);
  EXPECT_EQ(a.remote_time, 160u);
}

TEST(SyncPlan, ConflictInAReadOnlyFolderKeepsTheCopyOnlyHere) {
  Fixture f;
  f.InSync("Docs\\team.csv", "Docs", "team.csv", 100);
  f.remote.folders[0].files[0].writable = false;
  f.local["Docs\\team.csv"].last_write = 150;
  f.remote.folders[0].files[0].last_write = 160;
  const SyncAction a = f.Only("Docs\\team.csv");
  EXPECT_EQ(a.step, SyncStep::kConflict);
  EXPECT_FALSE(a.upload_conflict_copy);
}

TEST(SyncPlan, NewOnBothSidesWithDifferentTimesIsAConflictNeverAnOverwrite) {
  Fixture f;
  f.local["a.txt"] = LocalFile{5, 100};
  f.AddRemote("RootFolder", RF("a.txt", 200));
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kConflict);
}

TEST(SyncPlan, NewOnBothSidesWithTheSameTimeIsOnlyRecorded) {
  Fixture f;
  f.local["a.txt"] = LocalFile{5, 100};
  f.AddRemote("RootFolder", RF("a.txt", 100));
  const SyncAction a = f.Only("a.txt");
  EXPECT_EQ(a.step, SyncStep::kRecord);
  EXPECT_EQ(a.local.size, 5u);
  EXPECT_EQ(a.remote_time, 100u);
}

TEST(SyncPlan, EditsOnBothSidesWithinOneClockTickAreAConflictNotZeroChanges) {
  Fixture f;
  f.InSync("b.txt", "RootFolder", "b.txt", 50);
  f.local["b.txt"] = LocalFile{12, 70};
  f.remote.folders[0].files[0].last_write = 70;
  EXPECT_EQ(f.Only("b.txt").step, SyncStep::kConflict);
}

TEST(SyncPlan, SameSizeAndTimeButOtherContentsIsAChangeHere) {
  Fixture f;
  f.InSync("a.txt", "RootFolder", "a.txt", 100);
  f.state.files["a.txt"].digest = "0123456789abcdef0123456789abcdef";
  f.local["a.txt"].digest = "fedcba9876543210fedcba9876543210";  // cp -p kept size and time
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kUpload);
  // And when the server changed it too, a conflict.
  f.remote.folders[0].files[0].last_write = 200;
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kConflict);
  // The same contents are no change; an unknown digest (older state) neither.
  f.remote.folders[0].files[0].last_write = 100;
  f.local["a.txt"].digest = f.state.files["a.txt"].digest;
  EXPECT_TRUE(f.Plan().empty());
  f.state.files["a.txt"].digest.clear();
  f.local["a.txt"].digest = "fedcba9876543210fedcba9876543210";
  EXPECT_TRUE(f.Plan().empty());
}

TEST(SyncPlan, DeletedOnTheServerIsKeptHereUnlessDeletionsAreAsked) {
  Fixture f;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.InSync("gone.txt", "RootFolder", "gone.txt", 1);
  f.remote.folders[0].files.pop_back();
  SyncAction a = f.Only("gone.txt");
  EXPECT_EQ(a.step, SyncStep::kKeep);
  EXPECT_NE(a.reason.find("--delete"), std::string::npos);
  f.options.propagate_deletes = true;
  EXPECT_EQ(f.Only("gone.txt").step, SyncStep::kDeleteLocal);
}

TEST(SyncPlan, DeletedOnTheServerButChangedHereIsUploadedAgainEvenWithDelete) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.InSync("edit.txt", "RootFolder", "edit.txt", 1);
  f.remote.folders[0].files.pop_back();
  f.local["edit.txt"].last_write = 9;
  EXPECT_EQ(f.Only("edit.txt").step, SyncStep::kUpload);
}

TEST(SyncPlan, DeletedHereIsKeptOnTheServerUnlessDeletionsAreAsked) {
  Fixture f;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.InSync("gone.txt", "RootFolder", "gone.txt", 1);
  f.local.erase("gone.txt");
  EXPECT_EQ(f.Only("gone.txt").step, SyncStep::kKeep);
  f.options.propagate_deletes = true;
  EXPECT_EQ(f.Only("gone.txt").step, SyncStep::kDeleteRemote);
}

TEST(SyncPlan, DeletedHereInAReadOnlyFolderIsNotDeletedOnTheServer) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.InSync("gone.txt", "RootFolder", "gone.txt", 1);
  for (RemoteFile& file : f.remote.folders[0].files) file.writable = false;
  f.local.erase("gone.txt");
  const SyncAction a = f.Only("gone.txt");
  EXPECT_EQ(a.step, SyncStep::kKeep);
  EXPECT_NE(a.reason.find("read-only"), std::string::npos);
}

TEST(SyncPlan, DeletedHereButChangedOnTheServerIsDownloadedEvenWithDelete) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.InSync("b.txt", "RootFolder", "b.txt", 1);
  f.local.erase("b.txt");
  f.remote.folders[0].files[1].last_write = 2;
  EXPECT_EQ(f.Only("b.txt").step, SyncStep::kDownload);
}

TEST(SyncPlan, GoneFromBothSidesIsForgotten) {
  Fixture f;
  f.state.files["old.txt"] = SyncedFile{1, 1, 1};
  EXPECT_EQ(f.Only("old.txt").step, SyncStep::kForget);
}

TEST(SyncPlan, ReadOnlyFolderNeverGetsUploads) {
  Fixture f;
  f.remote.folders.push_back(Folder("Pub", {RF("r.txt", 5, false)}));
  f.local["Pub\\new.txt"] = LocalFile{1, 1};
  f.local["Pub\\r.txt"] = LocalFile{1, 9};
  f.state.files["Pub\\r.txt"] = SyncedFile{1, 5, 5};
  EXPECT_EQ(f.Only("Pub\\new.txt").step, SyncStep::kKeep);
  const SyncAction changed = f.Only("Pub\\r.txt");
  EXPECT_EQ(changed.step, SyncStep::kKeep);
  EXPECT_NE(changed.reason.find("read-only"), std::string::npos);
}

TEST(SyncPlan, HiddenFolderIsLeftAloneAndItsFilesAreNotTakenAsDeleted) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.remote.folders.push_back(Folder("RootFolder", {RF("x", 1)}));
  f.remote.folders.push_back(Hidden("Secret"));
  f.local["x"] = LocalFile{1, 1};
  f.state.files["x"] = SyncedFile{1, 1, 1};
  f.local["Secret\\mine.txt"] = LocalFile{1, 1};
  f.local["Secret\\old.txt"] = LocalFile{1, 1};
  f.state.files["Secret\\old.txt"] = SyncedFile{1, 1, 1};
  f.local["Secret\\Deeper\\d.txt"] = LocalFile{1, 1};
  EXPECT_EQ(f.Only("Secret\\mine.txt").step, SyncStep::kKeep);
  EXPECT_EQ(f.Only("Secret\\old.txt").step, SyncStep::kKeep);
  EXPECT_EQ(f.Only("Secret\\Deeper\\d.txt").step, SyncStep::kKeep);
}

TEST(SyncPlan, UnlistedFolderTakesTheRightsOfTheNearestListedFolderAbove) {
  Fixture f;
  f.remote.folders.push_back(Folder("RootFolder", {RF("x", 1, true)}));
  f.remote.folders.push_back(Folder("Pub", {RF("p", 1, false)}));
  f.remote.folders.push_back(Folder("Pub\\Open", {RF("o", 1, true)}));
  f.local["Pub\\Sub\\a.txt"] = LocalFile{1, 1};         // below read-only Pub
  f.local["Pub\\Open\\Deep\\b.txt"] = LocalFile{1, 1};  // below writable Pub\Open
  f.local["New\\c.txt"] = LocalFile{1, 1};              // below the writable root
  EXPECT_EQ(f.Only("Pub\\Sub\\a.txt").step, SyncStep::kKeep);
  EXPECT_EQ(f.Only("Pub\\Open\\Deep\\b.txt").step, SyncStep::kUpload);
  EXPECT_EQ(f.Only("New\\c.txt").step, SyncStep::kUpload);
}

TEST(SyncPlan, FolderAccessFallsBackToWritableWhenNothingIsKnown) {
  const RemoteView view{ScanResult{}};
  const FolderAccess access = view.Access("A\\B");
  EXPECT_FALSE(access.known);
  EXPECT_FALSE(access.hidden);
  EXPECT_TRUE(access.writable);
}

TEST(SyncPlan, AFolderIsOneListedOrAboveAListedOneNeverAFileOrANamePrefix) {
  ScanResult result;
  result.folders.push_back(Folder("RootFolder", {RF("readme.txt", 1)}));
  result.folders.push_back(Folder("Docs\\2024", {RF("r.pdf", 1)}));
  const RemoteView view(result);
  EXPECT_TRUE(view.HasFolder("Docs\\2024"));
  EXPECT_TRUE(view.HasFolder("Docs"));  // holds only a folder, so not listed itself
  EXPECT_FALSE(view.HasFolder("Doc"));
  EXPECT_FALSE(view.HasFolder("readme.txt"));
  EXPECT_FALSE(view.HasFolder("Docs\\2024\\r.pdf"));
}

TEST(SyncPlan, EmptyServerListingNeverDeletesLocalFiles) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.local["a.txt"] = LocalFile{1, 1};
  f.state.files["a.txt"] = SyncedFile{1, 1, 1};
  const SyncAction a = f.Only("a.txt");
  EXPECT_EQ(a.step, SyncStep::kKeep);
  EXPECT_NE(a.reason.find("no files at all"), std::string::npos);
}

TEST(SyncPlan, EmptyLocalFolderNeverDeletesServerFiles) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.AddRemote("RootFolder", RF("a.txt", 1));
  f.state.files["a.txt"] = SyncedFile{1, 1, 1};
  const SyncAction a = f.Only("a.txt");
  EXPECT_EQ(a.step, SyncStep::kKeep);
  EXPECT_NE(a.reason.find("no files at all"), std::string::npos);
}

TEST(SyncPlan, ConflictNamesAvoidEveryNameAlreadyInUse) {
  Fixture f;
  f.InSync("n.txt", "RootFolder", "n.txt", 1);
  f.InSync("m.txt", "RootFolder", "m.txt", 1);
  f.local["n.txt"].last_write = 2;
  f.remote.folders[0].files[0].last_write = 3;
  // The first candidate exists here, the second on the server.
  f.local["n (conflict alice 2026-12-08 1530).txt"] = LocalFile{1, 1};
  f.AddRemote("RootFolder", RF("n (conflict alice 2026-12-08 1530 2).txt", 1));
  EXPECT_EQ(f.Only("n.txt").conflict_key, "n (conflict alice 2026-12-08 1530 3).txt");
}

TEST(SyncPlan, ConflictNameNamesTheUserAndKeepsTheExtensionLast) {
  EXPECT_EQ(ConflictName("welcome.txt", "alice", "2026-12-09 0229", 1),
            "welcome (conflict alice 2026-12-09 0229).txt");
  EXPECT_EQ(ConflictName("a.tar.gz", "bob", kStamp, 1), "a.tar (conflict bob 2026-12-08 1530).gz");
  EXPECT_EQ(ConflictName("Makefile", "bob", kStamp, 1), "Makefile (conflict bob 2026-12-08 1530)");
  EXPECT_EQ(ConflictName(".profile", "bob", kStamp, 1), ".profile (conflict bob 2026-12-08 1530)");
  EXPECT_EQ(ConflictName("x.txt", "bob", kStamp, 4), "x (conflict bob 2026-12-08 1530 4).txt");
}

TEST(SyncPlan, UserNameCharactersThatNoFileNameHoldsBecomeUnderscores) {
  EXPECT_EQ(ConflictName("x.txt", "a/b\\c:d\te.f", kStamp, 1),
            "x (conflict a_b_c_d_e.f 2026-12-08 1530).txt");
}

TEST(SyncPlan, FilesInATopLevelFolderNamedRootFolderAreNotUploaded) {
  Fixture f;
  f.local["RootFolder\\a.txt"] = LocalFile{1, 1};
  f.local["RootFolder\\Deep\\b.txt"] = LocalFile{1, 1};
  EXPECT_EQ(f.Only("RootFolder\\a.txt").step, SyncStep::kKeep);
  // One level deeper the name is unambiguous again.
  EXPECT_EQ(f.Only("RootFolder\\Deep\\b.txt").step, SyncStep::kUpload);
}

TEST(SyncPlan, PlanIsOrderedByStepThenKeyAndTheSameEveryTime) {
  Fixture f;
  f.options.propagate_deletes = true;
  f.InSync("keep.txt", "RootFolder", "keep.txt", 1);
  f.local["z-up.txt"] = LocalFile{1, 1};
  f.local["a-up.txt"] = LocalFile{1, 1};
  f.AddRemote("RootFolder", RF("m-down.txt", 1));
  f.InSync("c.txt", "RootFolder", "c.txt", 1);
  f.local["c.txt"].last_write = 5;
  f.remote.folders[0].files[2].last_write = 6;
  const std::vector<SyncAction> plan = f.Plan();
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[0].step, SyncStep::kConflict);
  EXPECT_EQ(plan[1].step, SyncStep::kDownload);
  EXPECT_EQ(plan[2].key, "a-up.txt");
  EXPECT_EQ(plan[3].key, "z-up.txt");
  const std::vector<SyncAction> again = f.Plan();
  ASSERT_EQ(again.size(), plan.size());
  for (std::size_t i = 0; i < plan.size(); ++i) {
    EXPECT_EQ(again[i].key, plan[i].key);
    EXPECT_EQ(again[i].step, plan[i].step);
  }
}

TEST(SyncPlan, AfterApplyingAPlanTheNextPlanIsEmpty) {
  // Simulates a sync: downloads take the server's time, uploads are stored
  // by the server with the announced time; then nothing is left to do.
  Fixture f;
  f.AddRemote("Docs", RF("d.txt", 40));
  f.local["u.txt"] = LocalFile{7, 70};
  for (const SyncAction& a : f.Plan()) {
    if (a.step == SyncStep::kDownload) {
      f.local[a.key] = LocalFile{3, a.remote_time};
      f.state.files[a.key] = SyncedFile{3, a.remote_time, a.remote_time};
    } else if (a.step == SyncStep::kUpload) {
      f.AddRemote("RootFolder", RF("u.txt", a.local.last_write));
      f.state.files[a.key] = SyncedFile{a.local.size, a.local.last_write, a.local.last_write};
    }
  }
  EXPECT_TRUE(f.Plan().empty());
}

TEST(SyncPlan, UnconfirmedUploadIsNotSentAgainOnceTheServerShowsIt) {
  // The state still holds the old times and what was sent (the rescan came
  // too late to be confirmed); the server now shows the uploaded time.
  Fixture f;
  f.InSync("a.txt", "RootFolder", "a.txt", 10);
  f.local["a.txt"] = LocalFile{20, 30};
  f.state.sent["a.txt"] = SyncedFile{20, 30, 31};
  f.remote.folders[0].files[0].last_write = 31;
  const SyncAction a = f.Only("a.txt");
  EXPECT_EQ(a.step, SyncStep::kRecord);
  EXPECT_FALSE(a.reason.empty());
  // Changed here since it was sent: uploaded again, no conflict.
  f.local["a.txt"] = LocalFile{21, 40};
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kUpload);
  // The server shows another time: someone else's change, and ours: a conflict.
  f.remote.folders[0].files[0].last_write = 50;
  EXPECT_EQ(f.Only("a.txt").step, SyncStep::kConflict);
}

TEST(SyncPlan, StepNamesAreReadable) {
  EXPECT_STREQ(StepName(SyncStep::kDownload), "download");
  EXPECT_STREQ(StepName(SyncStep::kDeleteRemote), "delete on server");
  EXPECT_STREQ(StepName(SyncStep::kConflict), "conflict");
}

}  // namespace
}  // namespace kestrel::client
