// The sync state file: round trip, damage detection, atomic replacement.
#include "client/SyncState.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::client {
namespace {

SyncState Sample() {
  SyncState state{"Demo", "alice", {}};
  state.files["readme.txt"] = SyncedFile{115, 134412459493880056ull, 134412459493880056ull};
  state.files["Docs\\name with  blanks.txt"] = SyncedFile{0, 1, 2};
  state.files["Gr\xFCn\\caf\xE9"] = SyncedFile{18446744073709551615ull, 0, ~0ull};
  state.files["readme.txt"].digest = "d41d8cd98f00b204e9800998ecf8427e";
  state.sent["Docs\\new.txt"] = SyncedFile{3, 4, 5, "0123456789abcdef0123456789abcdef"};
  return state;
}

TEST(SyncState, FormatThenParseGivesTheSameState) {
  const std::optional<SyncState> back = ParseSyncState(FormatSyncState(Sample()));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, Sample());
}

TEST(SyncState, DamagedOrForeignTextIsRefusedRatherThanReadAsEmpty) {
  EXPECT_FALSE(ParseSyncState("").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 3\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 2\nfile 1 2 3 xyz x\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nsent 1 2 3 x\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nfile 1 2 x.txt\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nfile 1 2 3 ..\\x\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nfile -1 2 3 x\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nfile 1 2 99999999999999999999 x\n").has_value());
  EXPECT_FALSE(ParseSyncState("kestrel-sync 1\nbogus\n").has_value());
  EXPECT_TRUE(ParseSyncState("kestrel-sync 1\r\nproject P\r\n").has_value());
}

TEST(SyncState, StateFileOfTheFirstVersionStillLoadsWithoutDigests) {
  const std::optional<SyncState> old =
      ParseSyncState("kestrel-sync 1\nproject Demo\nuser alice\nfile 115 7 8 Docs\\a b.txt\n");
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->files.at("Docs\\a b.txt"), (SyncedFile{115, 7, 8, ""}));
  EXPECT_TRUE(old->sent.empty());
}

TEST(SyncState, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
  test::TempDir dir;
  const std::string path = dir.path() + "/.kestrel-sync";
  ASSERT_TRUE(test::WriteFile(path, "old contents"));
  ASSERT_TRUE(SaveSyncState(path, Sample()));
  SyncState loaded;
  ASSERT_EQ(LoadSyncState(path, loaded), StateLoad::kLoaded);
  EXPECT_EQ(loaded, Sample());
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(SyncState, MissingAndDamagedFilesAreToldApart) {
  test::TempDir dir;
  SyncState state;
  EXPECT_EQ(LoadSyncState(dir.path() + "/none", state), StateLoad::kMissing);
  ASSERT_TRUE(test::WriteFile(dir.Sub("bad"), "not a state file"));
  EXPECT_EQ(LoadSyncState(dir.path() + "/bad", state), StateLoad::kDamaged);
}

}  // namespace
}  // namespace kestrel::client
