// Key exchange, logins and logout.
#include <gtest/gtest.h>

#include <set>

#include "logging/LogRecord.h"
#include "projects/ProjectHandlerList.h"  // ScanProjectRecord
#include "session/SessionHarness.h"
#include "support/Md5.h"
#include "support/WindowMessages.h"

namespace kestrel::test {
namespace {

const Bytes kLoginOk = {0xCC, 0x33, 0x11, 0x02, 0x55, 0x33, 0x8A};
const Bytes kLogout = {0xAA, 0x55, 0x12, 0x02, 0xCC, 0x33, 0xAA ^ 0x55 ^ 0x12 ^ 0x02 ^ 0xCC ^ 0x33};
const Bytes kLogoutReply = {0xCC, 0x33, 0x12, 0x02, 0xCC, 0x33, 0x10};

class KeyLoginTest : public ::testing::Test {
 protected:
  Bytes Login(RawPeer& peer, std::string_view user, std::string_view password,
              std::string_view project) {
    return peer.Seal({user, password, project, "Workstation 7"}, {}, std::string(32, 'c'));
  }
  SessionEnv env;
};

TEST_F(KeyLoginTest, SessionKeyReplyIs21BytesAndTheKeyWorksForLogin) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, Login(peer, "anna", "secret", "Alpha")), 7), kLoginOk);
  const std::string port = std::to_string(peer.socket.LocalPort());
  EXPECT_TRUE(env.WaitForLog("GetSessionKey handled from IP 127.0.0.1 at Port " + port, kLogInfo));
  const std::string line = "User anna logged in on project Alpha from IP 127.0.0.1 at Port " + port;
  EXPECT_TRUE(env.WaitForLog(line, kLogInfo));
  EXPECT_EQ(env.UserLog(), "14.03.26 09:26:53: " + line + "\r\n");
}

TEST_F(KeyLoginTest, KeyRequestOfOtherLengthIsIgnored) {
  RawPeer peer(env);
  peer.Send(ClientFrame(0x10, Bytes(15, 1)));
  EXPECT_TRUE(peer.Silent());
  peer.Send(ClientFrame(0x10, Bytes(32, 1)));
  EXPECT_TRUE(peer.Silent());
}

TEST_F(KeyLoginTest, EmptyGlobalKeyDerivesTheBootstrapKeyFromTheBareFormat) {
  env.global_key.clear();
  Peer peer(env);
  peer.connection.set_reply_timeout(std::chrono::milliseconds(300));
  client::ClientSession other(peer.connection, SessionEnv::kGlobalKey);
  ASSERT_TRUE(other.RequestSessionKey());  // answered, but sealed for another key
  EXPECT_FALSE(other.Login("anna", "secret", "Alpha"));
  EXPECT_TRUE(peer.LoginAnna());  // the client that also uses the empty key
}

TEST_F(KeyLoginTest, SessionKeysAreFreshRandomAndNeverHoldByte255) {
  Peer a(env, 0);
  Peer b(env, 1);
  std::set<std::vector<std::uint8_t>> keys;
  int counts[256] = {};
  for (int i = 0; i < 300; ++i) {
    Peer& p = i % 2 ? a : b;
    ASSERT_TRUE(p.session->RequestSessionKey());
    const std::uint8_t* k = p.session->session_key();
    keys.insert(std::vector<std::uint8_t>(k, k + 16));
    for (int j = 0; j < 16; ++j) ++counts[k[j]];
  }
  // The test clock stands still: a time-seeded generator would repeat keys.
  EXPECT_EQ(keys.size(), 300u);
  EXPECT_EQ(counts[255], 0);
  int seen = 0;
  for (int v = 0; v < 255; ++v) seen += counts[v] > 0 ? 1 : 0;
  EXPECT_GT(seen, 240);  // 4800 bytes spread over 0..254
}

TEST_F(KeyLoginTest, FailedLoginSendsNothingAndALaterLoginSucceeds) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  for (const auto& [user, password, project] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"anna", "wrong", "Alpha"},
           {"Anna", "secret", "Alpha"},  // user name is case-sensitive
           {"anna", "secret", "alpha"},  // so is the project name
           {"anna", "secret", "Beta"},
           {"nobody", "secret", "Alpha"}}) {
    peer.Send(ClientFrame(0x11, Login(peer, user, password, project)));
    EXPECT_TRUE(peer.Silent()) << user << "/" << project;
  }
  peer.Send(ClientFrame(0x21));  // needs a login: no reply
  EXPECT_TRUE(peer.Silent());
  EXPECT_TRUE(env.UserLog().empty());
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, Login(peer, "bob", "hunter2", "Alpha")), 7), kLoginOk);
}

TEST_F(KeyLoginTest, SecondProjectOfTheSameNameIsSearchedToo) {
  auto twin = std::make_unique<ProjectRecord>();
  twin->projectname = "Alpha";
  twin->rootpath = env.dir.Sub("Projects/Beta");
  auto user = std::make_unique<UserRecord>();
  user->username = "anna";
  user->password.Set(PasswordDigest("other"));
  twin->users.push_back(std::move(user));
  env.config.projects.push_back(std::move(twin));
  Peer peer(env);
  ASSERT_TRUE(peer.session->RequestSessionKey());
  EXPECT_TRUE(peer.session->Login("anna", "other", "Alpha", "any name", std::string(32, 'z')));
}

TEST_F(KeyLoginTest, RequestsWithTheOldKeyFailAfterLogout) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  const Bytes login = Login(peer, "anna", "secret", "Alpha");
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, login), 7), kLoginOk);
  EXPECT_EQ(peer.Exchange(kLogout, 7), kLogoutReply);
  peer.Send(ClientFrame(0x11, login));  // the same record under the retired key
  EXPECT_TRUE(peer.Silent());
  peer.Send(ClientFrame(0x20));  // and no login survived the logout
  EXPECT_TRUE(peer.Silent());
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, Login(peer, "anna", "secret", "Alpha")), 7), kLoginOk);
}

// The connection slots count connections not logged in; a client that saw
// its login accepted must already count as logged in.
TEST_F(KeyLoginTest, LoginChangesAreReportedBeforeTheirReplyIsSent) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, Login(peer, "anna", "secret", "Alpha")), 7), kLoginOk);
  EXPECT_EQ(peer.Exchange(kLogout, 7), kLogoutReply);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x13, peer.Seal({SessionEnv::kRemotePassword})), 7),
            (Bytes{0xCC, 0x33, 0x13, 0x02, 0x55, 0x33, 0x88}));
  const std::vector<std::pair<bool, int>> notices = peer.served->LoginNotices();
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[0], std::make_pair(true, 0));  // nothing of the login reply yet
  EXPECT_FALSE(notices[1].first);
  EXPECT_EQ(notices[2], std::make_pair(true, 0));
}

TEST_F(KeyLoginTest, LogoutWhileNobodyIsLoggedInStillAnswers) {
  RawPeer peer(env);
  EXPECT_EQ(peer.Exchange(kLogout, 7), kLogoutReply);
  peer.Send(ClientFrame(0x12, {0xCC}));
  EXPECT_TRUE(peer.Silent());
}

TEST_F(KeyLoginTest, LogoutWritesTheUserLineAndAsksForARescanOfAChangedProject) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  env.Alpha().changed_by_session = true;
  ASSERT_TRUE(peer.session->Logout());
  const std::string port = std::to_string(peer.connection.LocalPort());
  const std::string out = "User anna logged out on project Alpha from IP 127.0.0.1 at Port " + port;
  EXPECT_TRUE(env.WaitForLog(out, kLogInfo));
  EXPECT_NE(env.UserLog().find(out + "\r\n"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return env.main_window.Count(WM_SCAN_PROJECT) == 1; }));
  for (const auto& m : env.main_window.Messages()) {
    if (m.id == WM_SCAN_PROJECT) {
      const auto* record = dynamic_cast<const ScanProjectRecord*>(m.record.get());
      ASSERT_NE(record, nullptr);
      EXPECT_EQ(record->project, &env.Alpha());
    }
  }
}

TEST_F(KeyLoginTest, LogoutOfAnUnchangedProjectAsksForNoRescan) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->Logout());
  ASSERT_TRUE(peer.session->RequestSessionKey());  // a later round trip
  EXPECT_EQ(env.main_window.Count(WM_SCAN_PROJECT), 0);
}

TEST_F(KeyLoginTest, ConnectionEndLogsTheUserOutInTheUserLogOnly) {
  std::string port;
  {
    Peer peer(env);
    ASSERT_TRUE(peer.LoginAnna());
    port = std::to_string(peer.connection.LocalPort());
    peer.connection.Close();
    ASSERT_TRUE(peer.served->WaitEnded());
    EXPECT_FALSE(peer.served->handler().client_logged_in());
  }
  const std::string out = "User anna logged out on project Alpha from IP 127.0.0.1 at Port " + port;
  EXPECT_NE(env.UserLog().find("09:26:53: " + out + "\r\n"), std::string::npos);
  EXPECT_EQ(env.log_window.CountLog(out, kLogInfo), 0);
}

TEST_F(KeyLoginTest, UserActivitySwitchedOffWritesNoFile) {
  env.log_user_activity = false;
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->Logout());
  EXPECT_FALSE(platform::Exists(".\\logs\\Server UserLog 2026_03.log"));
}

TEST_F(KeyLoginTest, RemoteLoginNeedsThePasswordAndTheSwitch) {
  {
    Peer peer(env);
    peer.connection.set_reply_timeout(std::chrono::milliseconds(300));
    ASSERT_TRUE(peer.session->RequestSessionKey());
    EXPECT_FALSE(peer.session->RemoteLogin("wrong"));
    EXPECT_FALSE(peer.session->RemoteLogin(""));
    EXPECT_TRUE(peer.session->RemoteLogin(SessionEnv::kRemotePassword));
    EXPECT_TRUE(env.WaitForLog("remote server logged in", kLogInfo));
    ASSERT_TRUE(peer.session->Logout());
    const std::string port = std::to_string(peer.connection.LocalPort());
    EXPECT_TRUE(env.WaitForLog("Server remote tool logged out from IP 127.0.0.1 at Port " + port,
                               kLogInfo));
  }
  env.remote_access_on = false;
  Peer peer(env);
  peer.connection.set_reply_timeout(std::chrono::milliseconds(300));
  ASSERT_TRUE(peer.session->RequestSessionKey());
  EXPECT_FALSE(peer.session->RemoteLogin(SessionEnv::kRemotePassword));
}

TEST_F(KeyLoginTest, RecordWhoseLengthsRunPastTheDataIsIgnored) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  // Lengths 200, 200, 200, 200 in a 16-byte record.
  Bytes plain(16, 'x');
  for (int i = 0; i < 4; ++i) plain[i] = 200;
  CRijndael cipher;
  cipher.MakeKey(peer.key);
  Bytes sealed(16);
  EncryptBuffer(cipher, plain.data(), plain.size(), sealed.data());
  peer.Send(ClientFrame(0x11, sealed));
  EXPECT_TRUE(peer.Silent());
  // A 240-byte record (length byte above 127) decrypts completely.
  const std::string user = "anna";
  const Bytes long_login =
      peer.Seal({user, "secret", "Alpha", std::string(180, 'n')}, {}, std::string(32, 'c'));
  ASSERT_EQ(long_login.size(), 240u);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, long_login), 7), kLoginOk);
}

}  // namespace
}  // namespace kestrel::test
