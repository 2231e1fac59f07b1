// Delete file and the two password changes.
#include <gtest/gtest.h>

#include "config/PasswordStore.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHarness.h"
#include "support/WindowMessages.h"

namespace kestrel::test {
namespace {

class DeletePasswordTest : public ::testing::Test {
 protected:
  // Logs anna in over a raw peer.
  void LoginRaw(RawPeer& peer) {
    ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
    ASSERT_EQ(peer.Exchange(ClientFrame(0x11, peer.Seal({"anna", "secret", "Alpha", "pc"}, {},
                                                        std::string(32, '0'))),
                            7)
                  .size(),
              7u);
  }
  template <class T>
  std::vector<std::shared_ptr<platform::MessageRecord>> Records(std::uint32_t id) {
    std::vector<std::shared_ptr<platform::MessageRecord>> out;
    for (const auto& m : env.main_window.Messages()) {
      if (m.id == id && dynamic_cast<T*>(m.record.get()) != nullptr) out.push_back(m.record);
    }
    return out;
  }
  SessionEnv env;
};

TEST_F(DeletePasswordTest, DeleteInTheRootIsAcknowledgedTwiceAndLogged) {
  WriteFileBytes(env.AlphaFile("gone.txt"), "bye");
  RawPeer peer(env);
  LoginRaw(peer);
  const Bytes ack = {0xCC, 0x33, 0x34, 0x02, 0x55, 0x33, 0xAF};
  const Bytes request = ClientFrame(0x34, peer.Seal({"RootFolder", "gone.txt"}));
  EXPECT_EQ(peer.Exchange(request, 7), ack);
  EXPECT_TRUE(WaitUntil([&] { return !platform::Exists(env.AlphaFile("gone.txt")); }));
  EXPECT_EQ(peer.Exchange(request, 7), ack);  // a missing file is acknowledged the same way
  const std::string line = "File RootFolder\\gone.txt deleted from project Alpha";
  EXPECT_TRUE(env.WaitForLog(line, kLogInfo, 1));
  EXPECT_NE(env.UserLog().find(": " + line + "\r\n"), std::string::npos);
  EXPECT_TRUE(env.Alpha().changed_by_session.load());
}

TEST_F(DeletePasswordTest, DeleteOfAMissingFileOrAFolderReportsNothingDeleted) {
  platform::CreateFolder(env.AlphaFile("Docs"));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  EXPECT_TRUE(peer.session->DeleteFile("RootFolder", "never.txt"));
  EXPECT_TRUE(peer.session->DeleteFile("RootFolder", "Docs"));
  const std::string warning =
      "network handling: no file RootFolder\\never.txt to delete on project Alpha from IP "
      "127.0.0.1 at Port ";
  ASSERT_TRUE(WaitUntil([&] {
    int warnings = 0;
    for (const auto& [text, level] : env.log_window.LogLines()) {
      warnings += level == kLogWarning && text.rfind(warning, 0) == 0 ? 1 : 0;
    }
    return warnings == 1;
  }));
  EXPECT_TRUE(peer.session->RequestSessionKey());  // a later round trip: both handled
  for (const auto& [text, level] : env.log_window.LogLines()) {
    EXPECT_EQ(text.find("deleted from project"), std::string::npos) << text;
  }
  EXPECT_EQ(env.UserLog().find("deleted from project"), std::string::npos);
  EXPECT_FALSE(env.Alpha().changed_by_session.load());
  EXPECT_TRUE(platform::IsFolder(env.AlphaFile("Docs")));
}

TEST_F(DeletePasswordTest, DeleteInANestedFolderAndNeverOfAFolder) {
  platform::CreateFolder(env.AlphaFile("Docs"));
  platform::CreateFolder(env.AlphaFile("Docs/2020"));
  WriteFileBytes(env.AlphaFile("Docs/2020/a.txt"), "a");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  EXPECT_TRUE(peer.session->DeleteFile("Docs\\2020", "a.txt"));
  // The reply goes out before the file is deleted.
  EXPECT_TRUE(WaitUntil([&] { return !platform::Exists(env.AlphaFile("Docs/2020/a.txt")); }));
  EXPECT_TRUE(peer.session->DeleteFile("Docs", "2020"));
  EXPECT_TRUE(platform::IsFolder(env.AlphaFile("Docs/2020")));
}

TEST_F(DeletePasswordTest, UserPasswordOfAnotherProjectsUserChangesWithItsOldPassword) {
  RawPeer peer(env);
  LoginRaw(peer);
  const Bytes request = ClientFrame(0x41, peer.Seal({"pw3", "n3w-pass", "carl", "Beta"}));
  EXPECT_EQ(peer.Exchange(request, 7), (Bytes{0xCC, 0x33, 0x41, 0x02, 0x55, 0x33, 0xDA}));
  ASSERT_TRUE(WaitUntil([&] { return env.main_window.Count(WM_USER_PASSWORD) == 1; }));
  const auto records = Records<UserPasswordRecord>(WM_USER_PASSWORD);
  ASSERT_EQ(records.size(), 1u);
  const auto* record = dynamic_cast<UserPasswordRecord*>(records[0].get());
  EXPECT_EQ(record->password, "n3w-pass");
  EXPECT_EQ(record->project_tag, "Project2");
  EXPECT_EQ(record->user_tag, "User1");
  EXPECT_EQ(record->projectname, "Beta");
  EXPECT_EQ(record->username, "carl");
  EXPECT_TRUE(env.WaitForLog("Project Beta, User carl changed password", kLogWarning));
}

TEST_F(DeletePasswordTest, UserPasswordChangeIsRefusedForEmptyOrWrongValues) {
  RawPeer peer(env);
  LoginRaw(peer);
  const Bytes refused = {0xCC, 0x33, 0x41, 0x02, 0xAA, 0xAA, 0xBC};
  EXPECT_EQ(peer.Exchange(ClientFrame(0x41, peer.Seal({"secret", "", "anna", "Alpha"})), 7),
            refused);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x41, peer.Seal({"wrong", "x", "anna", "Alpha"})), 7),
            refused);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x41, peer.Seal({"secret", "x", "anna", "Beta"})), 7),
            refused);
  EXPECT_TRUE(
      env.WaitForLog("change of password failed, could not find project/user", kLogError, 3));
  EXPECT_EQ(env.main_window.Count(WM_USER_PASSWORD), 0);
}

TEST_F(DeletePasswordTest, RemotePasswordChangeNeedsTheRemoteLogin) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(250));
  EXPECT_EQ(peer.session->ChangeRemotePassword(SessionEnv::kRemotePassword, "x"),
            client::PasswordChange::kNoReply);
  ASSERT_TRUE(peer.session->RemoteLogin(SessionEnv::kRemotePassword));
  EXPECT_EQ(peer.session->ChangeRemotePassword("wrong", "x"), client::PasswordChange::kRefused);
  EXPECT_EQ(peer.session->ChangeRemotePassword(SessionEnv::kRemotePassword, ""),
            client::PasswordChange::kRefused);
  EXPECT_TRUE(env.WaitForLog("server remote tool chang password failed", kLogError, 2));
  EXPECT_EQ(peer.session->ChangeRemotePassword(SessionEnv::kRemotePassword, "fresh"),
            client::PasswordChange::kChanged);
  ASSERT_TRUE(WaitUntil([&] { return env.main_window.Count(WM_REMOTE_PASSWORD) == 1; }));
  const auto records = Records<RemotePasswordRecord>(WM_REMOTE_PASSWORD);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(dynamic_cast<RemotePasswordRecord*>(records[0].get())->password, "fresh");
  EXPECT_TRUE(env.WaitForLog("server remote tool changed password", kLogWarning));
}

TEST_F(DeletePasswordTest, RemotePasswordRepliesAreExact) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  ASSERT_EQ(peer.Exchange(ClientFrame(0x13, peer.Seal({SessionEnv::kRemotePassword})), 7),
            (Bytes{0xCC, 0x33, 0x13, 0x02, 0x55, 0x33, 0x88}));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x40, peer.Seal({"nope", "x"})), 7),
            (Bytes{0xCC, 0x33, 0x40, 0x02, 0xAA, 0xAA, 0xBD}));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x40, peer.Seal({SessionEnv::kRemotePassword, "x"})), 7),
            (Bytes{0xCC, 0x33, 0x40, 0x02, 0x55, 0x33, 0xDB}));
}

}  // namespace
}  // namespace kestrel::test
