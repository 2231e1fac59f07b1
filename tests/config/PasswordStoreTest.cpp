// Storing changed passwords in the configuration file and in memory, and
// reading digests while they are replaced.
#include "config/PasswordStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

#include "config/ConfigReader.h"
#include "config/ConfigTestFiles.h"
#include "platform/FileSystem.h"
#include "support/Md5.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using test::ConfigFixture;
using test::FileText;
using test::ReplaceFirst;

// A configuration file copied from a fixture into a scratch folder, and the
// text the store writes for it unchanged (the store's own layout), so that a
// saved file can be compared with the original byte for byte.
class ConfigCopy {
 public:
  explicit ConfigCopy(const char* fixture) : path_(dir_.Sub("KestrelServer.xml")) {
    original_ = FileText(ConfigFixture(fixture));
    EXPECT_TRUE(test::WriteFileText(path_, original_));
  }
  const std::string& path() const { return path_; }
  const std::string& original() const { return original_; }
  // The file as the store saves it with no value changed.
  std::string Resaved() {
    CXmlStore store;
    EXPECT_TRUE(store.Load(path_));
    EXPECT_TRUE(store.Save());
    return FileText(path_);
  }

 private:
  test::TempDir dir_;
  std::string path_;
  std::string original_;
};

bool IsDigestText(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// ---------------------------------------------------------------------------
// User passwords: exactly the one Password element changes.

struct UserCase {
  const char* name;
  size_t project;  // index into the project list of two_projects.xml
  size_t user;
  const char* old_digest;
};

const UserCase kUserCases[] = {
    {"FirstUserOfFirstProject", 0, 0, "ann-digest"},
    {"SecondUserOfFirstProject", 0, 1, "ben-digest"},
    // Same user tag (User1) as ann in another project: ann must not change.
    {"FirstUserOfSecondProject", 1, 0, "cleo-digest"},
};

void PrintTo(const UserCase& c, std::ostream* os) {
  *os << c.name;
}

class UserPasswordTest : public ::testing::TestWithParam<UserCase> {};

TEST_P(UserPasswordTest, WritesOnlyThatUsersPasswordElement) {
  const UserCase& c = GetParam();
  ConfigCopy file("two_projects.xml");
  const std::string before = file.Resaved();

  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, file.path());
  UserRecord& user = *config.projects[c.project]->users[c.user];
  const std::string described_before = test::DescribeProjects(config);

  PasswordUpdate update = StoreUserPassword(
      store, config, UserPasswordRecord("n3w secret", *config.projects[c.project], user));

  const std::string digest = PasswordDigest("n3w secret");
  EXPECT_EQ(digest, update.digest);
  EXPECT_TRUE(update.in_memory);
  EXPECT_TRUE(update.file_changed);
  EXPECT_TRUE(update.saved);
  EXPECT_EQ(ReplaceFirst(before, c.old_digest, digest), FileText(file.path()));
  EXPECT_EQ(digest, user.password.Get());
  // In memory too, only this user's digest changed.
  EXPECT_EQ(ReplaceFirst(described_before, c.old_digest, digest), test::DescribeProjects(config));

  // The next start reads the new digest.
  CXmlStore again;
  ServerConfig reread;
  ReadConfiguration(again, reread, file.path());
  EXPECT_EQ(test::DescribeProjects(config), test::DescribeProjects(reread));
}

INSTANTIATE_TEST_SUITE_P(PasswordStore, UserPasswordTest, ::testing::ValuesIn(kUserCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UserPasswordStoreTest, UserReplacedOrProjectRenamedByRestartIsNotChanged) {
  // A configuration upload restarts the server before the message is handled:
  // the records are freed, and User2 of Project1 is now someone else, or
  // Project1 is another project that also has a ben there.
  const std::pair<const char*, const char*> uploads[] = {
      {"<Username>ben<", "<Username>bert<"}, {"<Projectname>Alpha<", "<Projectname>Gamma<"}};
  for (const auto& [from, to] : uploads) {
    ConfigCopy file("two_projects.xml");
    CXmlStore store;
    ServerConfig config;
    ReadConfiguration(store, config, file.path());
    UserPasswordRecord change("n3w secret", *config.projects[0],
                              *config.projects[0]->users[1]);  // ben of Alpha

    const std::string uploaded = ReplaceFirst(file.original(), from, to);
    ASSERT_TRUE(test::WriteFileText(file.path(), uploaded));
    ReadConfiguration(store, config, file.path());
    const std::string described = test::DescribeProjects(config);

    PasswordUpdate update = StoreUserPassword(store, config, change);
    EXPECT_FALSE(update.in_memory) << to;
    EXPECT_FALSE(update.file_changed) << to;
    EXPECT_EQ(uploaded, FileText(file.path())) << to;
    EXPECT_EQ(described, test::DescribeProjects(config)) << to;
  }
}

TEST(UserPasswordStoreTest, UserStillConfiguredAfterRestartGetsTheNewDigest) {
  ConfigCopy file("two_projects.xml");
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, file.path());
  UserPasswordRecord change("n3w secret", *config.projects[1],
                            *config.projects[1]->users[0]);  // cleo

  ReadConfiguration(store, config, file.path());  // restart: new records
  PasswordUpdate update = StoreUserPassword(store, config, change);
  EXPECT_TRUE(update.in_memory);
  EXPECT_TRUE(update.saved);
  EXPECT_EQ(PasswordDigest("n3w secret"), config.projects[1]->users[0]->password.Get());
}

TEST(UserPasswordStoreTest, FindUserNeedsTagsAndNamesToMatch) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture("two_projects.xml"));
  EXPECT_EQ(config.projects[0]->users[1].get(),
            FindUser(config, "Project1", "User2", "Alpha", "ben"));
  EXPECT_EQ(nullptr, FindUser(config, "Project2", "User2", "Alpha", "ben"));
  EXPECT_EQ(nullptr, FindUser(config, "Project1", "User1", "Alpha", "ben"));
  EXPECT_EQ(nullptr, FindUser(config, "Project1", "User2", "Beta", "ben"));
  EXPECT_EQ(nullptr, FindUser(config, "Project3", "User1", "Beta", "cleo"));
}

// ---------------------------------------------------------------------------
// Remote tool password.

TEST(RemotePasswordStoreTest, ReplacesPasswordRemoteElementAndMemory) {
  ConfigCopy file("general_complete.xml");
  const std::string before = file.Resaved();
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, file.path());
  const std::string old_digest = config.settings.password_remote.Get();

  PasswordUpdate update = StoreRemotePassword(store, config.settings, "t00lpass");

  EXPECT_TRUE(update.file_changed);
  EXPECT_TRUE(update.saved);
  EXPECT_EQ(ReplaceFirst(before, old_digest, update.digest), FileText(file.path()));
  EXPECT_EQ(update.digest, config.settings.password_remote.Get());
  // A login compares the digest of what it receives: the new password matches,
  // the old one does not.
  EXPECT_EQ(PasswordDigest("t00lpass"), config.settings.password_remote.Get());
  EXPECT_NE(PasswordDigest("admin"), config.settings.password_remote.Get());
}

TEST(RemotePasswordStoreTest, FileWithoutPasswordRemoteIsLeftByteForByte) {
  ConfigCopy file("two_projects.xml");
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, file.path());

  PasswordUpdate update = StoreRemotePassword(store, config.settings, "t00lpass");

  EXPECT_FALSE(update.file_changed);
  EXPECT_FALSE(update.saved);
  EXPECT_EQ(file.original(), FileText(file.path()));
  EXPECT_EQ(PasswordDigest("t00lpass"), config.settings.password_remote.Get());
}

TEST(RemotePasswordStoreTest, UnloadedStoreWritesNoFile) {
  test::TempDir dir;
  const std::string path = dir.Sub("KestrelServer.xml");
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, path);  // no file: store not loaded
  ASSERT_FALSE(store.IsLoaded());

  PasswordUpdate update = StoreRemotePassword(store, config.settings, "t00lpass");

  EXPECT_FALSE(update.saved);
  EXPECT_FALSE(platform::Exists(path));
  EXPECT_EQ(PasswordDigest("t00lpass"), config.settings.password_remote.Get());
}

TEST(RemotePasswordStoreTest, DigestIs32LowerCaseHexCharacters) {
  CXmlStore store;
  ServerSettings settings;
  for (const char* password : {"", "admin",
                               "Gr\xfc\xdf"
                               "e",
                               "a much longer password 0123456789"}) {
    PasswordUpdate update = StoreRemotePassword(store, settings, password);
    EXPECT_TRUE(IsDigestText(update.digest)) << update.digest;
  }
  // MD5("k7qz21m" "admin" "4tx88"), computed with Python's hashlib.
  EXPECT_EQ("48f37813739864a96bc309b174b15a82",
            StoreRemotePassword(store, settings, "admin").digest);
}

// ---------------------------------------------------------------------------
// Connection threads read digests without a lock while the main thread
// replaces them: every read must be one whole digest, old or new.

TEST(DigestRaceTest, ReaderNeverSeesTornDigestWhileSetRuns) {
  const std::string first = PasswordDigest("first");
  const std::string second = PasswordDigest("second");
  SharedText text(first);
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::atomic<long> torn{0};

  std::thread reader([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::string seen = text.Get();
      if (seen != first && seen != second) torn.fetch_add(1);
      reads.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (int i = 0; i < 20000; ++i) text.Set(i % 2 == 0 ? second : first);
  // Keep replacing until the reader has run alongside for a while.
  for (int i = 0; reads.load() < 1000 && i < 1000000; ++i) text.Set(i % 2 == 0 ? second : first);
  stop = true;
  reader.join();

  EXPECT_EQ(0, torn.load());
  EXPECT_GE(reads.load(), 1000);
}

TEST(DigestRaceTest, LoginReadsWholeDigestWhileUserPasswordIsStored) {
  ConfigCopy file("two_projects.xml");
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, file.path());
  const UserRecord& user = *config.projects[0]->users[0];
  const std::string digests[] = {user.password.Get(), PasswordDigest("one"), PasswordDigest("two")};
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0};

  std::thread login([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      const std::string seen = user.password.Get();
      if (seen != digests[0] && seen != digests[1] && seen != digests[2]) torn.fetch_add(1);
    }
  });
  for (int i = 0; i < 40; ++i) {
    StoreUserPassword(store, config,
                      UserPasswordRecord(i % 2 == 0 ? "one" : "two", *config.projects[0], user));
  }
  stop = true;
  login.join();

  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(PasswordDigest("two"), user.password.Get());
}

}  // namespace
}  // namespace kestrel
