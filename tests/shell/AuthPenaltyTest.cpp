// Failed authentication from outside: a running server (driven clock) and
// clients on two loopback source addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "RunningServer.h"
#include "client/ClientSession.h"
#include "support/Md5.h"
#include "testsupport/LocalTimes.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

const char* const kKey = "penalty-key";

std::string Config() {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
         "<LogLevel>Info</LogLevel><GlobalKey>" +
         std::string(kKey) + "</GlobalKey><ActivateRemote>true</ActivateRemote><PasswordRemote>" +
         PasswordDigest("admin") +
         "</PasswordRemote></General><Project1><Projectname>Team</Projectname>"
         "<Rootpath>.\\Team</Rootpath><Group1><Groupname>Staff</Groupname></Group1>"
         "<User1><Username>alice</Username><Realname>alice</Realname><Password>" +
         PasswordDigest("secret") +
         "</Password><Useremail>alice@example.com</Useremail><Group1>Staff</Group1></User1>"
         "</Project1></KestrelServer_Config>\n";
}

// One connection with its session key, from a chosen loopback source.
struct Peer {
  Peer(RunningServer& server, const char* source) {
    EXPECT_TRUE(connection.Connect("127.0.0.1", server.port_, 2s, source));
    connection.set_reply_timeout(300ms);  // silence is the refusal
    EXPECT_TRUE(session.RequestSessionKey());
  }
  bool Login(const char* password) { return session.Login("alice", password, "Team"); }
  client::ClientConnection connection;
  client::ClientSession session{connection, kKey};
};

std::size_t Count(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
    return l.find(part) != std::string::npos;
  }));
}

TEST(AuthPenalty, FiveWrongPasswordsSilenceTheSourceWhileAnotherSourceLogsInAtOnce) {
  RunningServer server(At(2026, 12, 9, 12, 0, 0), Config());
  Peer guesser(server, "127.0.0.1");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(guesser.Login("guess"));
  EXPECT_FALSE(guesser.Login("secret"));  // not even checked

  Peer other(server, "127.0.0.2");
  EXPECT_TRUE(other.Login("secret"));

  server.Tick(5);
  EXPECT_TRUE(guesser.Login("secret"));
  // One line at the first failure; the others fall within its ten seconds.
  ASSERT_TRUE(WaitFor([&] { return Count(server.Lines(), "logged in on project Team") == 2; }));
  EXPECT_EQ(Count(server.Lines(),
                  "authentication: Login failed for user alice from IP 127.0.0.1 at Port"),
            1u);
}

TEST(AuthPenalty, EachFurtherFailureDoublesThePenalty) {
  RunningServer server(At(2026, 12, 9, 12, 0, 0), Config());
  Peer guesser(server, "127.0.0.1");
  for (int i = 0; i < 5; ++i) guesser.Login("guess");
  server.Tick(5);
  EXPECT_FALSE(guesser.Login("guess"));  // the sixth: ten seconds
  server.Tick(9);
  EXPECT_FALSE(guesser.Login("secret"));
  server.Tick(1);
  EXPECT_TRUE(guesser.Login("secret"));
}

TEST(AuthPenalty, RefusedPasswordChangesCountAndTheirErrorLineIsLimited) {
  RunningServer server(At(2026, 12, 9, 12, 0, 0), Config());
  Peer client(server, "127.0.0.1");
  ASSERT_TRUE(client.Login("secret"));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(client.session.ChangeUserPassword("guess", "new", "alice", "Team"),
              client::PasswordChange::kRefused);
  }
  EXPECT_EQ(client.session.ChangeUserPassword("secret", "new", "alice", "Team"),
            client::PasswordChange::kNoReply);
  ASSERT_TRUE(WaitFor(
      [&] { return Count(server.Lines(), "authentication: User password change failed") == 1; }));
  EXPECT_EQ(Count(server.Lines(), "change of password failed, could not find project/user"), 1u);
}

TEST(AuthPenalty, RemoteToolLoginFailuresArePenalisedToo) {
  RunningServer server(At(2026, 12, 9, 12, 0, 0), Config());
  Peer tool(server, "127.0.0.1");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(tool.session.RemoteLogin("guess"));
  EXPECT_FALSE(tool.session.RemoteLogin("admin"));
  Peer other(server, "127.0.0.2");
  EXPECT_TRUE(other.session.RemoteLogin("admin"));
}

}  // namespace
}  // namespace kestrel::test
