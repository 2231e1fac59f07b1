// The configuration check and the configuration editor on small files.
#include "config/ConfigCheck.h"

#include <gtest/gtest.h>

#include <string>

#include "config/ConfigAdmin.h"
#include "config/ConfigTestFiles.h"
#include "platform/Clock.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

std::string User(int m, const std::string& name, const std::string& groups) {
  const std::string tag = "User" + std::to_string(m);
  return "<" + tag + "><Username>" + name + "</Username><Realname>R</Realname><Password>" +
         std::string(32, 'a') + "</Password><Useremail>e@x</Useremail>" + groups + "</" + tag +
         ">\n";
}

std::string File(const std::string& projects) {
  return "<KestrelServer_Config>\n<General><GlobalKey>k</GlobalKey></General>\n" + projects +
         "</KestrelServer_Config>\n";
}

std::string Project(int n, const std::string& name, const std::string& body) {
  const std::string tag = "Project" + std::to_string(n);
  return "<" + tag + "><Projectname>" + name + "</Projectname><Rootpath>.</Rootpath>\n" +
         "<Group1><Groupname>Staff</Groupname></Group1>\n" + body + "</" + tag + ">\n";
}

// All findings of a check of text, one per line.
std::string Check(const std::string& text) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  EXPECT_TRUE(test::WriteFileText(dir.Sub("KestrelServer.xml"), text));
  std::string out;
  for (const ConfigFinding& f : CheckConfiguration(".\\KestrelServer.xml").findings) {
    out += FormatFinding(f) + "\n";
  }
  return out;
}

TEST(ConfigCheck, UserInAnUndeclaredGroupIsNamedWithTheDeclaredOne) {
  const std::string out = Check(File(Project(1, "A", User(1, "ann", "<Group1>Stuff</Group1>"))));
  EXPECT_NE(out.find("KestrelServer.xml:5: error: Project1/User1 is in group 'Stuff', which "
                     "project 'A' does not declare (did you mean 'Staff'?)"),
            std::string::npos)
      << out;
}

TEST(ConfigCheck, IncompleteUserHidesTheLaterUsers) {
  const std::string out =
      Check(File(Project(1, "A",
                         User(1, "ann", "<Group1>Staff</Group1>") + User(2, "ben", "") +
                             User(3, "cy", "<Group1>Staff</Group1>"))));
  EXPECT_NE(out.find("error: Project1/User2 lacks Group1: it and every later user of Project1 are "
                     "ignored"),
            std::string::npos)
      << out;
}

TEST(ConfigCheck, CollidingFileNamesAreReportedAtTheLaterUser) {
  const std::string out = Check(File(Project(1, "a_b", User(1, "c", "<Group1>Staff</Group1>")) +
                                     Project(2, "a", User(1, "b_c", "<Group1>Staff</Group1>"))));
  EXPECT_NE(out.find(":9: error: user 'b_c' of project 'a' left out"), std::string::npos) << out;
}

TEST(ConfigCheck, SoundFileHasNoFault) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  ASSERT_TRUE(test::WriteFileText(dir.Sub("KestrelServer.xml"),
                                  File(Project(1, "A", User(1, "ann", "<Group1>Staff</Group1>")))));
  EXPECT_FALSE(CheckConfiguration(".\\KestrelServer.xml").has_faults());
}

TEST(ConfigCheck, SuggestionIgnoresCaseAndAllowsTwoEdits) {
  const std::vector<std::string> known = {"TCPIPListenPort", "LogLevel"};
  EXPECT_EQ(SuggestKey("tcpiplistenport", known), "TCPIPListenPort");
  EXPECT_EQ(SuggestKey("LogLevl", known), "LogLevel");
  EXPECT_EQ(SuggestKey("Colour", known), "");
}

TEST(ConfigEditor, RemovingAUserRenumbersTheLaterOnesWithoutAGap) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  ASSERT_TRUE(test::WriteFileText(dir.Sub("KestrelServer.xml"),
                                  File(Project(1, "A",
                                               User(1, "ann", "<Group1>Staff</Group1>") +
                                                   User(2, "ben", "<Group1>Staff</Group1>") +
                                                   User(3, "cy", "<Group1>Staff</Group1>")))));
  ConfigEditor editor;
  ASSERT_TRUE(editor.Load(".\\KestrelServer.xml").ok);
  ASSERT_TRUE(editor.RemoveUser("A", "ann").ok);
  ASSERT_TRUE(editor.Save(platform::SystemClock::Instance()).ok);
  ConfigEditor reread;
  ASSERT_TRUE(reread.Load(".\\KestrelServer.xml").ok);
  const auto& users = reread.config().projects.at(0)->users;
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0]->username + users[0]->user_tag, "benUser1");
  EXPECT_EQ(users[1]->username + users[1]->user_tag, "cyUser2");
  EXPECT_FALSE(reread.RemoveUser("A", "nobody").ok);
}

TEST(ConfigEditor, AddingAUserWhoseFileNamesCollideIsRefused) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  ASSERT_TRUE(test::WriteFileText(dir.Sub("KestrelServer.xml"),
                                  File(Project(1, "a_b", User(1, "c", "<Group1>Staff</Group1>")) +
                                       Project(2, "a", User(1, "d", "<Group1>Staff</Group1>")))));
  ConfigEditor editor;
  ASSERT_TRUE(editor.Load(".\\KestrelServer.xml").ok);
  const EditResult result = editor.AddUser(NewUser{"a", "b_c", "", "e@x", {}, "pw"});
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.message.find("would share its files with user 'c' of project 'a_b'"),
            std::string::npos)
      << result.message;
}

}  // namespace
}  // namespace kestrel
