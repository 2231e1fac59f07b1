// CMainDialog on a real message loop driven by a TestClock: statistics, the
// day change with its connections-log line, the watchdog through the timer,
// restart and the shutdown question, and the status the window shows.
#include "shell/MainDialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RunningServer.h"
#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "logging/LogRecord.h"
#include "platform/MessageBox.h"
#include "platform/Socket.h"
#include "shell/TickCounters.h"
#include "support/WindowMessages.h"
#include "testsupport/LocalTimes.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

TEST(TickCounters, FireAtSixtyTimesTheIntervalAndEveryTickForZeroOrLess) {
  TickCounters ticks;
  int rights = 0, scans = 0;
  for (int i = 1; i <= 600; ++i) {
    TickCounters::Due due = ticks.Tick(1, 5);
    if (due.rights) {
      ++rights;
      EXPECT_EQ(i % 60, 0) << i;
    }
    if (due.scan) {
      ++scans;
      EXPECT_EQ(i % 300, 0) << i;
    }
  }
  EXPECT_EQ(rights, 10);
  EXPECT_EQ(scans, 2);
  ticks.Reset();
  for (int i = 0; i < 5; ++i) {
    TickCounters::Due due = ticks.Tick(0, -3);
    EXPECT_TRUE(due.rights);
    EXPECT_TRUE(due.scan);
  }
}

TEST(MainDialog, StartsInTheTrayWithZeroedStatistics) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  TrayModel tray = server.Tray();
  EXPECT_TRUE(tray.in_tray);
  EXPECT_FALSE(tray.window_visible);
  EXPECT_EQ(tray.line_current, "current connections: 0");
  EXPECT_EQ(tray.line_today, "total number connections today: 0");
  EXPECT_EQ(tray.line_parallel, "number parallel connections today: 0");
}

TEST(MainDialog, DoubleClickOnTheIconShowsTheWindowAndMinimiseHidesItAgain) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  server.loop_.Post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDOWN);  // a single click does nothing
  EXPECT_TRUE(server.Tray().in_tray);
  server.loop_.Post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
  TrayModel shown = server.Tray();
  EXPECT_FALSE(shown.in_tray);
  EXPECT_TRUE(shown.window_visible);
  server.loop_.Post(WM_SYSCOMMAND, SC_MINIMIZE);
  TrayModel hidden = server.Tray();
  EXPECT_TRUE(hidden.in_tray);
  EXPECT_FALSE(hidden.window_visible);
}

TEST(MainDialog, DayChangeWritesOneConnectionsLineWithThePreviousDaysTotals) {
  RunningServer server(At(2026, 12, 31, 23, 59, 58));
  client::ClientConnection a, b, c, d;
  ASSERT_TRUE(server.Connect(a));
  ASSERT_TRUE(server.Connect(b));
  ASSERT_TRUE(server.Connect(c));
  ASSERT_TRUE(server.Connect(d));
  d.Close();
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 3; }));
  EXPECT_EQ(server.Tray().line_current, "active connections: 3");
  server.Tick(1);  // 23:59:59
  EXPECT_EQ(ReadFile(server.dir_.Sub("logs/Connections 2027_01.log")), "");
  server.Tick(1);  // 00:00:00, a new day and month
  EXPECT_EQ(ReadFile(server.dir_.Sub("logs/Connections 2027_01.log")), "01.01.27 - 4 - 4\r\n");
  TrayModel tray = server.Tray();
  EXPECT_EQ(tray.line_today, "total number connections today: 3");
  EXPECT_EQ(tray.line_parallel, "number parallel connections today: 3");
  server.Tick(5);
  EXPECT_EQ(ReadFile(server.dir_.Sub("logs/Connections 2027_01.log")), "01.01.27 - 4 - 4\r\n");
}

TEST(MainDialog, SilentConnectionIsTerminatedOnThe179thTick) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0),
                       "<KestrelServer_Config><General><LoginGraceSeconds>0</LoginGraceSeconds>"
                       "</General></KestrelServer_Config>");
  client::ClientConnection silent;
  ASSERT_TRUE(silent.Connect("127.0.0.1", server.port_));
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 1; }));
  server.Tick(178);
  EXPECT_EQ(server.Current(), 1);
  server.Tick(1);
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 0; }));
  EXPECT_EQ(server.Tray().line_current, "active connections: 0");
  // The slot serves again without waiting for a tick.
  client::ClientConnection next;
  EXPECT_TRUE(server.Connect(next));
}

TEST(MainDialog, ConnectionNotLoggedInIsClosedAfterTheDefaultLoginGrace) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  client::ClientConnection silent;
  ASSERT_TRUE(silent.Connect("127.0.0.1", server.port_));
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 1; }));
  server.Tick(29);
  EXPECT_EQ(server.Current(), 1);
  server.Tick(1);
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 0; }));
}

TEST(MainDialog, RestartDropsClientsAndServesNewOnes) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  client::ClientConnection before;
  ASSERT_TRUE(server.Connect(before));
  ASSERT_TRUE(WaitFor([&] { return server.Current() == 1; }));
  server.Command(ID_RESTART_SERVER);
  ASSERT_TRUE(WaitFor([&] {
    return server.OnMain([&] { return server.dialog_->slots_running(); }) && server.Current() == 0;
  }));
  server.port_ = server.OnMain([&] { return server.dialog_->listening_port(); });
  EXPECT_FALSE(client::Ping(before));
  client::ClientConnection after;
  EXPECT_TRUE(server.Connect(after));
}

TEST(MainDialog, ShutdownAskedAndAnsweredNoKeepsRunningYesEndsTheLoop) {
  platform::CapturingMessageBox boxes(false);
  platform::SetMessageBoxes(&boxes);
  {
    RunningServer server(At(2026, 12, 8, 10, 0, 0));
    client::ClientConnection c;
    ASSERT_TRUE(server.Connect(c));
    server.Command(ID_SHUTDOWN_SERVER);
    ASSERT_TRUE(WaitFor([&] { return boxes.Asked().size() == 1; }));
    EXPECT_EQ(boxes.Asked()[0], "Do you really want to shutdown the server?");
    EXPECT_TRUE(client::Ping(c));

    platform::CapturingMessageBox yes(true);
    platform::SetMessageBoxes(&yes);
    server.loop_.Post(WM_CLOSE);
    server.WaitEnded();
    EXPECT_EQ(server.exit_code_, 0);
    EXPECT_FALSE(client::Ping(c));
    platform::SetMessageBoxes(nullptr);
  }
  platform::SetMessageBoxes(nullptr);
}

// A configured user of group Staff.
std::string StaffUser(int n, const std::string& name) {
  const std::string tag = "User" + std::to_string(n);
  return "<" + tag + "><Username>" + name + "</Username><Realname>" + name +
         "</Realname><Password>x</Password><Useremail>" + name +
         "@example.com</Useremail><Group1>Staff</Group1></" + tag + ">";
}

// Two projects: Team with two users and the root folder `root`; Gone, whose root is missing.
std::string TwoProjects(const std::string& root) {
  const std::string staff = "<Group1><Groupname>Staff</Groupname></Group1>";
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
         "<CustomerInstallation>true</CustomerInstallation></General>"
         "<Project1><Projectname>Team</Projectname><Rootpath>" +
         root + "</Rootpath>" + staff + StaffUser(1, "alice") + StaffUser(2, "bob") +
         "</Project1><Project2><Projectname>Gone</Projectname><Rootpath>.\\Gone</Rootpath>" +
         staff + StaffUser(1, "carol") + "</Project2></KestrelServer_Config>\n";
}

TEST(MainDialogStatus, ShowsWhereItListensAndEachProjectsUsersAndLastScanTime) {
  TempDir team;
  RunningServer server(At(2026, 12, 8, 10, 0, 0), TwoProjects(team.path()));
  TrayModel tray = server.Tray();
  EXPECT_TRUE(tray.listening);
  EXPECT_EQ(tray.listen_line, "listening on *:" + std::to_string(server.port_));
  ASSERT_EQ(tray.projects.size(), 2u);
  EXPECT_EQ(tray.projects[0].name, "Team");
  EXPECT_EQ(tray.projects[0].users, 2);
  EXPECT_EQ(tray.projects[0].last_scan, "not scanned yet");
  EXPECT_EQ(tray.projects[1].users, 1);
  // The first scans finish on the handler threads; the next tick notes them.
  ASSERT_TRUE(WaitFor([&] {
    return server.OnMain([&] {
      for (const auto& project : server.dialog_->config().projects) {
        if (project->scans_finished.load() == 0) return false;
      }
      return true;
    });
  }));
  server.Tick(1);
  tray = server.Tray();
  EXPECT_EQ(tray.projects[0].last_scan, "08.12.26 10:00:01");
  EXPECT_EQ(tray.projects[1].last_scan, "08.12.26 10:00:01, root folder missing");
}

TEST(MainDialogStatus, ABusyPortIsShownWithTheListenErrorText) {
  platform::CapturingMessageBox boxes(true);
  platform::SetMessageBoxes(&boxes);
  {
    platform::TcpSocket busy;
    ASSERT_EQ(busy.Listen(0, 1, ""), 0);
    RunningServer server(At(2026, 12, 8, 10, 0, 0), "", busy.LocalPort());
    const TrayModel tray = server.Tray();
    EXPECT_FALSE(tray.listening);
    EXPECT_EQ(tray.listen_line, "not listening: The specified address is already in use ! (*:" +
                                    std::to_string(busy.LocalPort()) + ")");
  }
  platform::SetMessageBoxes(nullptr);
}

TEST(MainDialogStatus, RestartIsReportedAsRestartingThenRestartedAt) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  EXPECT_EQ(server.Tray().state_line, "running since 08.12.26 10:00:00");
  server.Command(ID_RESTART_SERVER);
  ASSERT_TRUE(WaitFor([&] { return server.Tray().starts == 2; }));
  const std::vector<std::string> lines = server.StateLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "restarting ..."), lines.end());
  EXPECT_EQ(server.Tray().state, ServerState::kRunning);
  EXPECT_EQ(server.Tray().state_line, "restarted at 08.12.26 10:00:00");
}

TEST(MainDialogStatus, LastErrorIsTheNewestErrorLineTheLoggingWindowShowed) {
  RunningServer server(At(2026, 12, 8, 10, 0, 0));
  // No configuration, no project: the start reports it at level Error.
  ASSERT_TRUE(WaitFor([&] { return !server.Tray().last_error.empty(); }));
  EXPECT_EQ(server.Tray().last_error, "08.12.26 10:00:00 - Error: No projects available!");
  server.dialog_->log().Log(kLogWarning, "a warning is not an error");
  server.dialog_->log().Log(kLogError, "disk full");
  ASSERT_TRUE(
      WaitFor([&] { return server.Tray().last_error.find("disk full") != std::string::npos; }));
  EXPECT_EQ(server.Tray().last_error, "08.12.26 10:00:00 - Error: disk full");
}

}  // namespace
}  // namespace kestrel::test
