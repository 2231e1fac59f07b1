// The kestrel command against the real kestrel-server process: ls, get, put,
// rm round trips, what sync and watch print, rights, password changes, the
// administration commands, progress lines, JSON output and the error exits. The sync
// engine itself is tested in-process (SyncTest.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DemoServer.h"
#include "platform/FileSystem.h"
#include "testsupport/ServerProcess.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

struct CliRun {
  int code = -1;  // exit code; -1 when it had to be killed
  std::string out;
  std::string err;
};

// Runs the kestrel binary in cwd with the extra environment, detached from
// any terminal (so it can never wait for a prompt), stdin from /dev/null.
CliRun RunCli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
              const std::string& cwd, const std::string& scratch,
              std::chrono::seconds timeout = 90s) {
  const std::string out_path = scratch + "/cli.out";
  const std::string err_path = scratch + "/cli.err";
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (chdir(cwd.c_str()) != 0) _exit(120);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(121);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const char* name : {"KESTREL_SERVER", "KESTREL_PROJECT", "KESTREL_USER",
                             "KESTREL_PASSWORD", "KESTREL_NEW_PASSWORD", "KESTREL_GLOBAL_KEY"}) {
      unsetenv(name);
    }
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    std::string binary = KESTREL_CLI_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  CliRun run;
  if (pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      run.out = ReadFile(out_path);
      run.err = ReadFile(err_path) + "\n[killed after time-out]";
      return run;
    }
    std::this_thread::sleep_for(10ms);
  }
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

// The same with stderr on a pseudo terminal; returns what the terminal showed.
std::string RunCliOnTerminal(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env, const std::string& cwd,
                             int& code) {
  code = -1;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no pty";
  const std::string slave_name = ptsname(master);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int slave = open(slave_name.c_str(), O_RDWR);
    const int null = open("/dev/null", O_RDWR);
    if (slave < 0 || null < 0 || chdir(cwd.c_str()) != 0) _exit(120);
    dup2(null, 0);
    dup2(null, 1);
    dup2(slave, 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<std::string> copies = args;
    std::vector<char*> argv{const_cast<char*>(KESTREL_CLI_BINARY)};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(KESTREL_CLI_BINARY, argv.data());
    _exit(127);
  }
  std::string shown;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  fcntl(master, F_SETFL, O_NONBLOCK);
  int status = 0;
  for (;;) {
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      shown.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  for (;;) {  // what is left after the exit
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    shown.append(buffer, static_cast<std::size_t>(n));
  }
  close(master);
  code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return shown;
}

class CliTest : public ::testing::Test {
 protected:
  void StartServer(bool privileges = false) { ASSERT_NO_FATAL_FAILURE(demo_.Start(privileges)); }

  std::string Root(const std::string& relative) const { return demo_.Root(relative); }
  std::string Client(const std::string& relative = "") const { return demo_.Client(relative); }
  std::string Scratch(const std::string& relative = "") const { return demo_.Scratch(relative); }
  std::string Sub(const std::string& relative) const { return demo_.dir().Sub(relative); }

  std::map<std::string, std::string> Env(const std::string& user = "alice",
                                         const std::string& password = "") const {
    return {{"KESTREL_SERVER", "127.0.0.1:" + std::to_string(demo_.port())},
            {"KESTREL_PROJECT", "Demo"},
            {"KESTREL_USER", user},
            {"KESTREL_PASSWORD", password.empty() ? DemoPassword(user) : password}};
  }

  CliRun Cli(std::vector<std::string> args, const std::string& user = "alice") {
    return RunCli(args, Env(user), Client(), Scratch());
  }

  // Waits (bounded) until ls --json of the user does or does not name path.
  bool WaitListed(const std::string& path, bool listed, const std::string& user = "alice") {
    const std::string needle = "\"path\":\"" + path + "\"";
    return WaitFor(
        [&] {
          const CliRun run = Cli({"ls", "--json"}, user);
          return run.code == 0 && (run.out.find(needle) != std::string::npos) == listed;
        },
        20s);
  }

  DemoServer demo_;
};

TEST_F(CliTest, LsShowsTheTreeWithServerTimesAndJsonForScripts) {
  StartServer();
  const CliRun tree = Cli({"ls"});
  ASSERT_EQ(tree.code, 0) << tree.err;
  EXPECT_NE(tree.out.find("readme.txt"), std::string::npos) << tree.out;
  EXPECT_NE(tree.out.find("Docs/"), std::string::npos);
  EXPECT_NE(tree.out.find("(read-write)"), std::string::npos);
  EXPECT_NE(tree.out.find("all files of the project"), std::string::npos);
  const CliRun json = Cli({"ls", "--json"});
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_NE(json.out.find("\"path\":\"Docs/team.csv\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"filetime\":" + std::to_string(TimeOf(Root("Docs/team.csv")))),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"total_size\":39"), std::string::npos) << json.out;
}

TEST_F(CliTest, GetIsByteExactOverManyChunksAndTakesTheServersTime) {
  StartServer();
  const std::string data = RandomBytes(10 * 1280 + 17, 1);
  ASSERT_TRUE(WriteFile(Root("Docs/Sub/blob.bin"), data));
  SetTime(Root("Docs/Sub/blob.bin"), 1500000000, 987654300);
  // Another user's change and logout make the server rescan.
  ASSERT_TRUE(WriteFile(Scratch("touch.txt"), "t"));
  ASSERT_EQ(Cli({"put", Scratch("touch.txt"), "Other"}, "bob").code, 0);
  ASSERT_TRUE(WaitListed("Docs/Sub/blob.bin", true));

  const CliRun get = Cli({"get", "Docs/Sub/blob.bin"});
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadFile(Client("blob.bin")), data);
  EXPECT_EQ(TimeOf(Client("blob.bin")), TimeOf(Root("Docs/Sub/blob.bin")));
  EXPECT_EQ(get.err, "");  // no progress line when stderr is not a terminal

  std::filesystem::create_directories(Client("into"));
  ASSERT_EQ(Cli({"get", "Docs\\team.csv", "into"}).code, 0);
  EXPECT_EQ(ReadFile(Client("into/team.csv")), "Alice,Staff\nBob,Guests\n");
  ASSERT_EQ(Cli({"get", "/readme.txt", "renamed.txt"}).code, 0);
  EXPECT_EQ(ReadFile(Client("renamed.txt")), "Read me first.\r\n");
}

TEST_F(CliTest, PutIsByteExactKeepsTheLocalTimeAndRmDeletes) {
  StartServer();
  const std::string data = RandomBytes(5 * 1280, 2);
  ASSERT_TRUE(WriteFile(Client("upload.dat"), data));
  SetTime(Client("upload.dat"), 1234567890, 123456700);
  const CliRun put = Cli({"put", "upload.dat", "Docs/New Folder"});
  ASSERT_EQ(put.code, 0) << put.err;
  EXPECT_EQ(ReadFile(Root("Docs/New Folder/upload.dat")), data);
  EXPECT_EQ(TimeOf(Root("Docs/New Folder/upload.dat")), TimeOf(Client("upload.dat")));
  ASSERT_TRUE(WaitListed("Docs/New Folder/upload.dat", true));

  ASSERT_TRUE(WriteFile(Client("root.txt"), "in the root"));
  ASSERT_EQ(Cli({"put", "root.txt"}).code, 0);
  EXPECT_EQ(ReadFile(Root("root.txt")), "in the root");

  const CliRun rm = Cli({"rm", "Docs/New Folder/upload.dat"});
  ASSERT_EQ(rm.code, 0) << rm.err;
  EXPECT_FALSE(std::filesystem::exists(Root("Docs/New Folder/upload.dat")));
  EXPECT_TRUE(WaitListed("Docs/New Folder/upload.dat", false));
}

TEST_F(CliTest, MissingFilesAndUnusableNamesAreRefusedWithClearExits) {
  StartServer();
  const CliRun missing = Cli({"get", "Docs/nothing.txt"});
  EXPECT_EQ(missing.code, 5);
  EXPECT_NE(missing.err.find("not found on the server: Docs/nothing.txt"), std::string::npos)
      << missing.err;
  EXPECT_FALSE(std::filesystem::exists(Client("nothing.txt")));
  const CliRun bad = Cli({"get", "../etc/passwd"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("not a usable remote name"), std::string::npos) << bad.err;
  const CliRun rm = Cli({"rm", "Docs/nothing.txt"});
  EXPECT_EQ(rm.code, 5);
  EXPECT_NE(rm.err.find("not found in your scan result"), std::string::npos) << rm.err;
  ASSERT_TRUE(WriteFile(Client("~hidden.txt"), "x"));
  EXPECT_EQ(Cli({"put", "~hidden.txt"}).code, 2);
}

TEST_F(CliTest, LocalPathsThatCannotBeWrittenAreLocalErrors) {
  StartServer();
  const CliRun get = Cli({"get", "Docs/team.csv", "missing/team.csv"});
  EXPECT_EQ(get.code, 6);
  EXPECT_NE(get.err.find("cannot write missing/team.csv: the folder missing does not exist"),
            std::string::npos)
      << get.err;
  ASSERT_TRUE(WriteFile(Client("a-file"), "x"));
  const CliRun sync = Cli({"sync", "a-file/work"});
  EXPECT_EQ(sync.code, 6);
  EXPECT_NE(sync.err.find("cannot be created"), std::string::npos) << sync.err;
}

TEST_F(CliTest, RmOnAFolderSaysItIsAFolder) {
  StartServer();
  const CliRun rm = Cli({"rm", "Docs"});
  EXPECT_EQ(rm.code, 5);
  EXPECT_NE(rm.err.find("Docs is a folder"), std::string::npos) << rm.err;
  EXPECT_TRUE(std::filesystem::exists(Root("Docs/team.csv")));
}

TEST_F(CliTest, ChangedAndSyncDryRunSpeakJsonForScripts) {
  StartServer();
  const CliRun changed = Cli({"changed", "--json"});
  EXPECT_EQ(changed.code, 0);
  EXPECT_EQ(changed.out, "{\"changed\":true}\n");
  const CliRun plan = Cli({"sync", "work", "--dry-run", "--json"});
  ASSERT_EQ(plan.code, 0) << plan.err;
  EXPECT_EQ(plan.out.rfind("{\"root\":\"work\",\"create_root\":true,\"changes\":", 0), 0u)
      << plan.out;
  EXPECT_NE(plan.out.find("{\"step\":\"download\",\"path\":\"Docs/team.csv\","
                          "\"reason\":\"new on the server\"}"),
            std::string::npos)
      << plan.out;
  EXPECT_FALSE(std::filesystem::exists(Client("work")));
  EXPECT_EQ(Cli({"sync", "work", "--json"}).code, 2);  // only a dry run has a plan to print
}

TEST_F(CliTest, WrongPasswordExitsNonZeroWithTheLoginMessage) {
  StartServer();
  const CliRun run = RunCli({"ls"}, Env("alice", "not-the-password"), Client(), Scratch());
  EXPECT_EQ(run.code, 4);
  EXPECT_NE(run.err.find("login refused: user, password or project not accepted (or the server "
                         "did not answer)"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
}

TEST_F(CliTest, NoServerAndNoPasswordGiveNamedErrors) {
  StartServer();
  std::map<std::string, std::string> env = Env();
  env["KESTREL_SERVER"] = "127.0.0.1:" + std::to_string(FreePort());
  const CliRun refused = RunCli({"ls"}, env, Client(), Scratch());
  EXPECT_EQ(refused.code, 3);
  EXPECT_NE(refused.err.find("cannot connect"), std::string::npos) << refused.err;
  env = Env();
  env.erase("KESTREL_PASSWORD");
  const CliRun no_password = RunCli({"ls"}, env, Client(), Scratch());
  EXPECT_EQ(no_password.code, 2);
  EXPECT_NE(no_password.err.find("KESTREL_PASSWORD"), std::string::npos) << no_password.err;
}

TEST_F(CliTest, ChangedAnswersWithItsExitCode) {
  StartServer();
  // The first scan wrote a new result: changed.
  EXPECT_EQ(Cli({"changed"}).code, 0);
  const CliRun help = Cli({"changed", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("exits 0"), std::string::npos);
}

TEST_F(CliTest, SyncPrintsEachStepAndTheCountAndADryRunItsPlan) {
  StartServer();
  const CliRun first = Cli({"sync", "work"});
  ASSERT_EQ(first.code, 0) << first.err;
  EXPECT_NE(
      first.out.find("download" + std::string(11, ' ') + "Docs/team.csv  [new on the server]\n"),
      std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("sync done: 2 changes\n"), std::string::npos) << first.out;

  ASSERT_TRUE(WriteFile(Client("work/local-only.txt"), "new here"));
  const CliRun dry = Cli({"sync", "work", "--dry-run"});
  ASSERT_EQ(dry.code, 0) << dry.err;
  EXPECT_NE(dry.out.find("would upload" + std::string(13, ' ') + "local-only.txt  [new here]"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("dry run: 1 change planned, nothing was changed"), std::string::npos);
  const CliRun fresh = Cli({"sync", "fresh", "--dry-run"});
  ASSERT_EQ(fresh.code, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("would create"), std::string::npos) << fresh.out;
  EXPECT_FALSE(std::filesystem::exists(Client("fresh")));
  EXPECT_EQ(Cli({"sync", "work", "--settle", "9999"}).code, 2);
}

TEST_F(CliTest, RightsHideFoldersAndReadOnlyFoldersTakeNoUploads) {
  StartServer(true);
  const CliRun ls = Cli({"ls"}, "bob");
  ASSERT_EQ(ls.code, 0) << ls.err;
  EXPECT_NE(ls.out.find("Secret/"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("(hidden)"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("(read-only)"), std::string::npos) << ls.out;
  EXPECT_EQ(ls.out.find("plans.txt"), std::string::npos) << ls.out;

  ASSERT_TRUE(WriteFile(Client("mine.txt"), "x"));
  const CliRun put = Cli({"put", "mine.txt", "Docs"}, "bob");
  EXPECT_EQ(put.code, 5);
  EXPECT_NE(put.err.find("read-only"), std::string::npos) << put.err;
  EXPECT_FALSE(std::filesystem::exists(Root("Docs/mine.txt")));
  EXPECT_EQ(Cli({"get", "Secret/plans.txt"}, "bob").code, 5);

  // Alice (Staff) sees and writes everything.
  ASSERT_EQ(Cli({"get", "Secret/plans.txt"}).code, 0);
  EXPECT_EQ(ReadFile(Client("plans.txt")), "staff only");
}

TEST_F(CliTest, PasswdChangesTheUsersPassword) {
  StartServer();
  std::map<std::string, std::string> env = Env("bob");
  env["KESTREL_NEW_PASSWORD"] = "b3tter";
  const CliRun change = RunCli({"passwd"}, env, Client(), Scratch());
  ASSERT_EQ(change.code, 0) << change.err;
  ASSERT_TRUE(WaitFor(
      [&] { return RunCli({"changed"}, Env("bob", "b3tter"), Client(), Scratch()).code <= 1; },
      20s));
  EXPECT_EQ(Cli({"changed"}, "bob").code, 4);  // the old password no longer works
}

TEST_F(CliTest, AdminLogsUnpacksConfigurationScanResultsAndLogs) {
  StartServer();
  std::map<std::string, std::string> env = Env();
  env["KESTREL_PASSWORD"] = "admin";
  // A client login writes the user-activity log, so the logs folder is not empty.
  ASSERT_EQ(Cli({"ls"}).code, 0);
  ASSERT_TRUE(WaitFor([&] {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(Sub("logs"), ec)) {
      if (e.path().filename().string().rfind("Server UserLog ", 0) == 0 && e.file_size() > 0) {
        return true;
      }
    }
    return false;
  }));
  const CliRun run = RunCli({"admin", "logs", "fetched"}, env, Client(), Scratch());
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(Client("fetched/KestrelServer.xml")),
            ReadFile(Sub("Config/KestrelServer.xml")));
  EXPECT_EQ(ReadFile(Client("fetched/Scanresult_Demo_alice.xml")),
            ReadFile(Sub("Config/Scanresult_Demo_alice.xml")));
  bool user_log = false;
  for (const auto& e : std::filesystem::directory_iterator(Client("fetched"))) {
    const std::string name = e.path().filename().string();
    if (name.rfind("Server UserLog ", 0) == 0) {
      user_log = true;
      EXPECT_EQ(ReadFile(e.path().string()).substr(0, 40),
                ReadFile(Sub("logs/" + name)).substr(0, 40));
    }
  }
  EXPECT_TRUE(user_log);

  env["KESTREL_PASSWORD"] = "wrong";
  const CliRun refused = RunCli({"admin", "logs", "x"}, env, Client(), Scratch());
  EXPECT_EQ(refused.code, 4);
  EXPECT_NE(refused.err.find("remote login refused"), std::string::npos) << refused.err;
}

TEST_F(CliTest, AdminPushRejectsDocumentsTheServerWouldNotRecogniseBeforeSending) {
  StartServer();
  std::map<std::string, std::string> env = Env();
  env["KESTREL_PASSWORD"] = "admin";
  ASSERT_TRUE(
      WriteFile(Client("bad.xml"), "<KestrelServer_Config><General/></KestrelServer_Config>"));
  const CliRun config = RunCli({"admin", "push-config", "bad.xml"}, env, Client(), Scratch());
  EXPECT_EQ(config.code, 2);
  EXPECT_NE(config.err.find("GlobalKey"), std::string::npos) << config.err;
  const CliRun rights = RunCli({"admin", "push-rights", "bad.xml"}, env, Client(), Scratch());
  EXPECT_EQ(rights.code, 2);
  EXPECT_NE(rights.err.find("Projectname"), std::string::npos) << rights.err;
}

TEST_F(CliTest, AdminPushRightsRewritesTheFolderRights) {
  StartServer(true);
  std::map<std::string, std::string> env = Env();
  env["KESTREL_PASSWORD"] = "admin";
  ASSERT_TRUE(WriteFile(
      Client("rights.xml"),
      "<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights><Projectname>Demo</Projectname>"
      "<Folder1><Foldername>Secret</Foldername><Group1><Groupname>Guests</Groupname>"
      "<Visible>true</Visible><Write>true</Write></Group1></Folder1></UserRights>\n"));
  const CliRun push = RunCli({"admin", "push-rights", "rights.xml"}, env, Client(), Scratch());
  ASSERT_EQ(push.code, 0) << push.err;
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(Root("~Secret.xml")).find("Guests") != std::string::npos &&
               ReadFile(Root("~Secret.xml")).find("Staff") == std::string::npos;
      },
      20s))
      << ReadFile(Root("~Secret.xml"));
}

TEST_F(CliTest, AdminPushConfigIsMergedAndAdminPasswdChangesTheRemotePassword) {
  StartServer();
  std::map<std::string, std::string> env = Env();
  env["KESTREL_PASSWORD"] = "admin";
  std::string config = ReadFile(Sub("Config/KestrelServer.xml"));
  const std::size_t level = config.find("<LogLevel>Info</LogLevel>");
  ASSERT_NE(level, std::string::npos);
  config.replace(level, 25, "<LogLevel>Warning</LogLevel>");
  ASSERT_TRUE(WriteFile(Client("new-config.xml"), config));
  const CliRun push = RunCli({"admin", "push-config", "new-config.xml"}, env, Client(), Scratch());
  ASSERT_EQ(push.code, 0) << push.err;
  ASSERT_TRUE(WaitFor(
      [&] {
        return ReadFile(Sub("Config/KestrelServer.xml")).find("<LogLevel>Warning</LogLevel>") !=
               std::string::npos;
      },
      20s));
  // The merge ends in a restart; wait until the old listener is gone and the
  // new one is up.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(Sub("logs"), ec)) {
          if (e.path().filename().string().rfind("Server Logbook ", 0) == 0 &&
              ReadFile(e.path().string()).find("Server application terminated") !=
                  std::string::npos) {
            return true;
          }
        }
        return false;
      },
      20s));
  ASSERT_TRUE(demo_.process().WaitListening(demo_.port()));

  env["KESTREL_NEW_PASSWORD"] = "s3cond";
  const CliRun change = RunCli({"admin", "passwd"}, env, Client(), Scratch());
  ASSERT_EQ(change.code, 0) << change.err;
  env.erase("KESTREL_NEW_PASSWORD");
  env["KESTREL_PASSWORD"] = "s3cond";
  EXPECT_TRUE(WaitFor(
      [&] {
        return RunCli({"admin", "logs", "after"}, env, Client(), Scratch()).code == 0;
      },
      30s));
}

TEST_F(CliTest, EveryCommandHasHelpAndBadCommandLinesExitTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"ls", "--help"},
                                             {"get", "--help"},
                                             {"put", "--help"},
                                             {"rm", "--help"},
                                             {"passwd", "--help"},
                                             {"changed", "--help"},
                                             {"sync", "--help"},
                                             {"watch", "--help"},
                                             {"admin", "--help"},
                                             {"help", "admin"},
                                             {"admin", "logs", "--help"},
                                             {"admin", "push-config", "--help"},
                                             {"admin", "push-rights", "--help"},
                                             {"admin", "rights", "--help"},
                                             {"admin", "passwd", "--help"}}) {
    const CliRun run = RunCli(args, {}, demo_.dir().path(), demo_.dir().path());
    EXPECT_EQ(run.code, 0) << args[0];
    EXPECT_NE(run.out.find("Usage: kestrel"), std::string::npos) << args[0];
  }
  const CliRun version = RunCli({"--version"}, {}, demo_.dir().path(), demo_.dir().path());
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "kestrel (Kestrel Server) 1.0\n");
  EXPECT_EQ(RunCli({"admin"}, {}, demo_.dir().path(), demo_.dir().path()).code, 2);
  EXPECT_EQ(RunCli({"frobnicate"}, {}, demo_.dir().path(), demo_.dir().path()).code, 2);
  EXPECT_EQ(RunCli({"get"}, {}, demo_.dir().path(), demo_.dir().path()).code, 2);
  EXPECT_EQ(RunCli({"ls", "--delete"}, {}, demo_.dir().path(), demo_.dir().path()).code, 2);
  EXPECT_EQ(
      RunCli({"ls", "--server", "host:99999"}, {}, demo_.dir().path(), demo_.dir().path()).code, 2);
}

TEST_F(CliTest, TransfersShowProgressOnlyWhenStderrIsATerminal) {
  StartServer();
  const std::string data = RandomBytes(6 * 1024 * 1024, 4);
  ASSERT_TRUE(WriteFile(Client("big.bin"), data));
  int code = 0;
  const std::string put = RunCliOnTerminal({"put", "big.bin"}, Env(), Client(), code);
  ASSERT_EQ(code, 0) << put;
  EXPECT_NE(put.find("packing ..."), std::string::npos) << put;
  EXPECT_NE(put.find("/s"), std::string::npos) << put;      // rate
  EXPECT_NE(put.find("left"), std::string::npos) << put;    // time left (total known)
  EXPECT_NE(put.find("MiB"), std::string::npos) << put;     // bytes
  EXPECT_NE(put.find("\033[K"), std::string::npos) << put;  // the line is erased at the end
  EXPECT_EQ(ReadFile(Root("big.bin")), data);
  ASSERT_TRUE(WaitListed("big.bin", true));
  // The total of a download comes from the first chunk of the archive.
  const std::string get = RunCliOnTerminal({"get", "big.bin", "shown.bin"}, Env(), Client(), code);
  ASSERT_EQ(code, 0) << get;
  EXPECT_NE(get.find("preparing on the server ..."), std::string::npos) << get;
  EXPECT_NE(get.find(" / 6.0 MiB"), std::string::npos) << get;
  EXPECT_NE(get.find("left"), std::string::npos) << get;
  const std::string quiet =
      RunCliOnTerminal({"get", "big.bin", "copy.bin", "-q"}, Env(), Client(), code);
  ASSERT_EQ(code, 0) << quiet;
  EXPECT_EQ(quiet.find("/s"), std::string::npos) << quiet;
  EXPECT_EQ(ReadFile(Client("copy.bin")), data);
}

TEST_F(CliTest, WatchSyncsAtStartAndAgainWhenTheServerChanges) {
  StartServer();
  std::map<std::string, std::string> env = Env();
  const std::string out_path = Sub("watch.out");
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (chdir(Client().c_str()) != 0) _exit(120);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execl(KESTREL_CLI_BINARY, KESTREL_CLI_BINARY, "watch", "watched", "--interval", "1",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(
      WaitFor([&] { return std::filesystem::exists(Client("watched/Docs/team.csv")); }, 20s))
      << ReadFile(out_path);
  ASSERT_TRUE(WriteFile(Scratch("late.txt"), "arrives later"));
  ASSERT_EQ(Cli({"put", Scratch("late.txt")}, "bob").code, 0);
  EXPECT_TRUE(WaitFor([&] { return ReadFile(Client("watched/late.txt")) == "arrives later"; }, 20s))
      << ReadFile(out_path);
  kill(pid, SIGTERM);
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20s);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(out_path);
}

}  // namespace
}  // namespace kestrel::test
