// The real kestrel-server process: working folders, listening port, restart on
// SIGHUP and clean shutdown on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/Md5.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

std::string Logbook(const TempDir& dir) {
  std::string all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Sub("logs"), ec)) {
    if (entry.path().filename().string().rfind("Server Logbook ", 0) == 0) {
      all += ReadFile(entry.path().string());
    }
  }
  return all;
}

int Count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

std::string MinimalConfig(std::uint16_t port) {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
         "<TCPIPListenPort>" +
         std::to_string(port) + "</TCPIPListenPort></General></KestrelServer_Config>\n";
}

TEST(ServerLifecycle, CreatesWorkingFoldersListensRestartsAndShutsDownCleanly) {
  TempDir dir;
  std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteFile(dir.Sub("Config/KestrelServer.xml"), MinimalConfig(port)));
  ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  for (const char* folder : {"logs", "Config", "Backup", "Temp"}) {
    EXPECT_TRUE(std::filesystem::is_directory(dir.Sub(folder))) << folder;
  }
  ASSERT_TRUE(WaitFor([&] { return Count(Logbook(dir), "- Error: No projects available!") == 1; }))
      << Logbook(dir);

  ASSERT_TRUE(server.Signal(SIGHUP));
  ASSERT_TRUE(WaitFor([&] { return Count(Logbook(dir), "- Error: No projects available!") == 2; }))
      << Logbook(dir);
  EXPECT_EQ(Count(Logbook(dir), "- Warning: Server application terminated"), 1);
  ASSERT_TRUE(server.WaitListening(port));

  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.WaitExit(), 0);
  std::string log = Logbook(dir);
  EXPECT_EQ(Count(log, "- Warning: Server application terminated"), 2) << log;
  // Every logbook line ends with CR LF.
  EXPECT_EQ(Count(log, "\r\n"), 4) << log;
  EXPECT_NE(server.Stdout().find("No projects available!"), std::string::npos);
}

struct ProjectXml {
  std::string name;
  std::string rootpath;  // system path
};

// Projects with one user each ("u" + project name, password "pw"); lines up
// to Info go to stdout.
std::string ProjectsConfig(std::uint16_t port, bool customer_installation,
                           const std::vector<ProjectXml>& projects) {
  std::string xml =
      "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
      "<CustomerInstallation>" +
      std::string(customer_installation ? "true" : "false") +
      "</CustomerInstallation><LogLevel>Info</LogLevel><ScanIntervallProjects>60"
      "</ScanIntervallProjects><ScanIntervallUserrights>60</ScanIntervallUserrights>"
      "<TCPIPListenPort>" +
      std::to_string(port) + "</TCPIPListenPort></General>\n";
  for (std::size_t i = 0; i < projects.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    xml += "<Project" + n + "><Projectname>" + projects[i].name + "</Projectname><Rootpath>" +
           projects[i].rootpath +
           "</Rootpath><Group1><Groupname>Staff</Groupname></Group1><User1><Username>u" +
           projects[i].name + "</Username><Realname>User " + n + "</Realname><Password>" +
           PasswordDigest("pw") + "</Password><Useremail>u" + n +
           "@example.org</Useremail><Group1>Staff</Group1></User1></Project" + n + ">\n";
  }
  return xml + "</KestrelServer_Config>\n";
}

// The text split at every "Server application terminated" line.
std::vector<std::string> RunsOf(const std::string& text) {
  std::vector<std::string> runs;
  const std::string end = "Server application terminated";
  std::size_t from = 0;
  for (std::size_t at = text.find(end); at != std::string::npos; at = text.find(end, from)) {
    runs.push_back(text.substr(from, at - from));
    from = at + end.size();
  }
  runs.push_back(text.substr(from));
  return runs;
}

TEST(ServerLifecycle, TwoRestartsCloseTogetherStartOneHandlerPerProject) {
  TempDir dir;
  std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteFile(
      dir.Sub("Config/KestrelServer.xml"),
      ProjectsConfig(port, true, {{"Alpha", ".\\Roots\\Alpha"}, {"Beta", ".\\Roots\\Beta"}})));
  std::filesystem::create_directories(dir.Sub("Roots/Alpha"));
  std::filesystem::create_directories(dir.Sub("Roots/Beta"));
  ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  ASSERT_TRUE(WaitFor(
      [&] { return Count(server.Stdout(), "Project thread starting project 'Beta'") == 1; }));

  ASSERT_TRUE(server.Signal(SIGHUP));
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(server.Signal(SIGHUP));
  // Once the last start's handlers run, any late report of an earlier
  // logging window has been handled too (it was queued before).
  ASSERT_TRUE(WaitFor([&] {
    const std::vector<std::string> runs = RunsOf(server.Stdout());
    return runs.size() >= 2 && Count(runs.back(), "Project thread starting project 'Alpha'") >= 1 &&
           Count(runs.back(), "Project thread starting project 'Beta'") >= 1;
  })) << server.Stdout();
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.WaitExit(), 0) << server.Stdout();

  EXPECT_GE(Count(Logbook(dir), "- Warning: Server application terminated"), 2);
  for (const std::string& run : RunsOf(server.Stdout())) {
    EXPECT_LE(Count(run, "Project thread starting project 'Alpha'"), 1) << run;
    EXPECT_LE(Count(run, "Project thread starting project 'Beta'"), 1) << run;
  }
}

// Managed layout: Alpha and Beta get Project1 and Project2. Alpha is removed
// from the configuration and the server restarted: Beta keeps its folder,
// its user sees only Beta's files, and only Alpha's folder is listed obsolete.
TEST(ServerLifecycle, RemovingTheFirstManagedProjectLeavesTheSecondItsOwnRoot) {
  TempDir dir;
  std::uint16_t port = FreePort();
  const std::string config_path = dir.Sub("Config/KestrelServer.xml");
  ASSERT_TRUE(WriteFile(config_path, ProjectsConfig(port, false,
                                                    {{"Alpha", ".\\Rootfolder\\Project1"},
                                                     {"Beta", ".\\Rootfolder\\Project2"}})));
  ASSERT_TRUE(WriteFile(dir.Sub("Rootfolder/Project1/alpha.txt"), "alpha's"));
  ASSERT_TRUE(WriteFile(dir.Sub("Rootfolder/Project2/beta.txt"), "beta's"));
  ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(WaitFor([&] {
    return Count(server.Stdout(), "project 'Beta' scan successful") == 1;
  })) << server.Stdout();
  ASSERT_NE(ReadFile(config_path).find(".\\Rootfolder\\Project2"), std::string::npos);

  const std::string beta_only = ProjectsConfig(port, false, {{"Beta", ".\\Rootfolder\\Project2"}});
  ASSERT_TRUE(WriteFile(config_path, beta_only));
  ASSERT_TRUE(server.Signal(SIGHUP));
  ASSERT_TRUE(WaitFor([&] {
    return Count(server.Stdout(), "project 'Beta' scan successful") == 2;
  })) << server.Stdout();
  const std::string result = ReadFile(dir.Sub("Config/Scanresult_Beta_uBeta.xml"));
  EXPECT_NE(result.find("<Filename>beta.txt</Filename>"), std::string::npos) << result;
  EXPECT_EQ(result.find("alpha.txt"), std::string::npos) << result;
  const std::string obsolete = ReadFile(dir.Sub("Config/ObsoleteFolders.xml"));
  EXPECT_NE(obsolete.find(".\\Rootfolder\\Project1"), std::string::npos) << obsolete;
  EXPECT_EQ(obsolete.find(".\\Rootfolder\\Project2"), std::string::npos) << obsolete;
  EXPECT_EQ(ReadFile(config_path), beta_only);  // nothing to rewrite
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.WaitExit(), 0);
}

// 250 folders of 200 one-byte files each (in each folder hard links of its
// first file, which are made far faster than new files); returns the number
// of files made.
int MakeLargeTree(const std::string& root) {
  int made = 0;
  for (int d = 0; d < 250; ++d) {
    const std::string folder = root + "/d" + std::to_string(d);
    std::filesystem::create_directories(folder);
    const std::string first = folder + "/f0.txt";
    if (!WriteFile(first, "x")) continue;
    ++made;
    for (int f = 1; f < 200; ++f) {
      const std::string path = folder + "/f" + std::to_string(f) + ".txt";
      made += ::link(first.c_str(), path.c_str()) == 0 ? 1 : 0;
    }
  }
  return made;
}

// SIGTERM while the first scan of a large tree runs: the scan result is then
// absent or complete, never a truncated list; the next start completes it.
TEST(ServerLifecycle, StopDuringTheFirstScanLeavesNoTruncatedResult) {
  TempDir dir;
  std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteFile(dir.Sub("Config/KestrelServer.xml"),
                        ProjectsConfig(port, true, {{"Big", ".\\Big"}})));
  const int files = MakeLargeTree(dir.Sub("Big"));
  ASSERT_EQ(files, 50000);
  const std::string result_path = dir.Sub("Config/Scanresult_Big_uBig.xml");
  {
    ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(WaitFor([&] {
      return Count(server.Stdout(), "project 'Big' starts scanning project") == 1;
    })) << server.Stdout();
    ASSERT_TRUE(server.Signal(SIGTERM));
    EXPECT_EQ(server.WaitExit(), 0);
    if (std::filesystem::exists(result_path)) {
      EXPECT_EQ(Count(ReadFile(result_path), "<Filename>"), files);
      EXPECT_NE(server.Stdout().find("project 'Big' scan successful"), std::string::npos);
    } else {
      EXPECT_EQ(server.Stdout().find("project 'Big' scan successful"), std::string::npos);
    }
  }
  ServerProcess again(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(again.Start());
  ASSERT_TRUE(again.WaitListening(port));  // its stdout no longer holds the first run's
  ASSERT_TRUE(WaitFor([&] { return Count(again.Stdout(), "project 'Big' scan successful") == 1; },
                      std::chrono::seconds(60)))
      << again.Stdout();
  EXPECT_EQ(Count(ReadFile(result_path), "<Filename>"), files);
  ASSERT_TRUE(again.Signal(SIGTERM));
  EXPECT_EQ(again.WaitExit(), 0);
}

TEST(ServerLifecycle, StartRemovesTheServersLeftoversInTempAndNothingElse) {
  TempDir dir;
  std::uint16_t port = FreePort();
  ASSERT_TRUE(WriteFile(dir.Sub("Config/KestrelServer.xml"), MinimalConfig(port)));
  const char* leftovers[] = {"transfer.dat",        "transfer.dat.~4242_7.part", "transfer_12.dat",
                             "Gone_user_12.zip",    "XMLConfig_3.zip",           "serverlogs.zip",
                             "serverlogs_build.zip"};
  const char* others[] = {"notes.txt", "XMLConfig_3.xml", "backup.zip"};
  for (const char* name : leftovers) ASSERT_TRUE(WriteFile(dir.Sub("Temp/") + name, "old"));
  for (const char* name : others) ASSERT_TRUE(WriteFile(dir.Sub("Temp/") + name, "keep"));
  ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitListening(port)) << server.Stderr();
  for (const char* name : leftovers)
    EXPECT_FALSE(std::filesystem::exists(dir.Sub("Temp/") + name)) << name;
  for (const char* name : others) EXPECT_EQ(ReadFile(dir.Sub("Temp/") + name), "keep") << name;
  ASSERT_TRUE(server.Signal(SIGTERM));
  EXPECT_EQ(server.WaitExit(), 0);
}

TEST(ServerLifecycle, WithoutConfigurationListensOnPort50000) {
  TempDir dir;
  ServerProcess server(KESTREL_SERVER_BINARY, dir.path());
  ASSERT_TRUE(server.Start());
  // Another program, or a connection of this machine that was given 50000 as
  // its own port, may hold the port: then the server names it as taken.
  const auto tried = [&] {
    return server.Stderr().find("already in use ! (*:50000)") != std::string::npos ||
           PortServes(50000);
  };
  ASSERT_TRUE(WaitFor(tried)) << server.Stdout() << server.Stderr();
  EXPECT_TRUE(std::filesystem::is_directory(dir.Sub("Config")));
  ASSERT_TRUE(server.Signal(SIGINT));
  EXPECT_EQ(server.WaitExit(), 0);
}

TEST(ServerLifecycle, BusyPortShowsTheSocketErrorAndKeepsRunning) {
  TempDir dir;
  std::uint16_t port = FreePort();
  // Hold the port with a listener of our own.
  ServerProcess holder(KESTREL_SERVER_BINARY, dir.Sub("holder"));
  std::filesystem::create_directories(dir.Sub("holder"));
  ASSERT_TRUE(WriteFile(dir.Sub("holder/Config/KestrelServer.xml"), MinimalConfig(port)));
  ASSERT_TRUE(holder.Start());
  ASSERT_TRUE(holder.WaitListening(port));

  std::filesystem::create_directories(dir.Sub("second"));
  ASSERT_TRUE(WriteFile(dir.Sub("second/Config/KestrelServer.xml"), MinimalConfig(port)));
  ServerProcess second(KESTREL_SERVER_BINARY, dir.Sub("second"));
  ASSERT_TRUE(second.Start());
  EXPECT_TRUE(WaitFor([&] {
    return second.Stderr().find("The specified address is already in use !") != std::string::npos;
  })) << second.Stderr();
  // The second server still runs its logbook without listening.
  EXPECT_TRUE(second.Signal(SIGTERM));
  EXPECT_EQ(second.WaitExit(), 0);
  EXPECT_TRUE(holder.Signal(SIGTERM));
  EXPECT_EQ(holder.WaitExit(), 0);
}

}  // namespace
}  // namespace kestrel::test
