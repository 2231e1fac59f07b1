// kestrel-server: the headless front end. Runs the server in its working
// folder until SIGTERM or SIGINT; SIGHUP restarts it. Lines of the logging
// window go to stdout (with syslog priority prefixes when stdout is the
// journal), message boxes to stderr. Also the configuration check and the
// administration commands (AdminTool.h).
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AdminTool.h"
#include "logging/JournalStream.h"
#include "logging/StdoutLines.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/PidLock.h"
#include "platform/ProcessSetup.h"
#include "shell/FrontEndArguments.h"
#include "shell/MainDialog.h"
#include "shell/SignalBridge.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrel-server [--workdir DIR] [COMMAND]\n"
    "\n"
    "Runs the Kestrel file-synchronisation server in its working folder (the\n"
    "current folder, or DIR): it creates logs, Config, Backup and Temp there and\n"
    "reads Config/KestrelServer.xml (listening port 50000 without one).\n"
    "\n"
    "Options:\n"
    "  --workdir DIR         work in DIR instead of the current folder\n"
    "  --check-config [FOLDER]\n"
    "                        check FOLDER/Config/KestrelServer.xml (default: the\n"
    "                        working folder) as the server would read it; exit 0\n"
    "                        when it is sound, 1 when a fault was found, 2 for a\n"
    "                        usage error\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n"
    "Administration commands (they edit Config/KestrelServer.xml, keep the old\n"
    "file in Backup, and refuse while a server runs in the folder unless\n"
    "--signal is given):\n"
    "  user add PROJECT USER --email ADDRESS [--realname NAME] [--group GROUP]...\n"
    "  user passwd PROJECT USER\n"
    "  user remove PROJECT USER\n"
    "  user list PROJECT\n"
    "  project add PROJECT ROOTFOLDER [--group GROUP]...\n"
    "  project list\n"
    "  remote-password\n"
    "\n"
    "  --password-stdin      read the password from standard input (one line)\n"
    "                        instead of asking twice on the terminal\n"
    "  --signal              when a server runs in the folder, change the\n"
    "                        configuration anyway and make the server read it\n"
    "                        again (SIGHUP)\n"
    "\n"
    "Signals: SIGHUP restarts the server (the configuration is read again);\n"
    "SIGTERM and SIGINT shut it down.\n";

int Usage(const std::string& complaint) {
  std::fprintf(stderr, "kestrel-server: %s (try --help)\n", complaint.c_str());
  return kestrel::kToolUsage;
}

bool ChangeFolder(const std::string& folder) {
  if (::chdir(folder.c_str()) == 0) return true;
  std::fprintf(stderr, "kestrel-server: cannot work in '%s': %s\n", folder.c_str(),
               std::strerror(errno));
  return false;
}

int RunServer() {
  using namespace kestrel;
  platform::PidLock lock;
  if (!lock.Acquire(platform::kServerLockFile)) {
    const std::optional<pid_t> holder = platform::PidLock::Holder(platform::kServerLockFile);
    std::fprintf(
        stderr, "kestrel-server: %s\n",
        holder
            ? ("a server (pid " + std::to_string(*holder) + ") already runs in this folder").c_str()
            : "cannot write kestrel-server.pid in this folder");
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  platform::RaiseDescriptorLimit();

  platform::MessageLoop loop(platform::SystemClock::Instance());
  // Blocks the signals before any other thread exists, so only the bridge sees them.
  SignalBridge signals(loop);
  if (!signals.Start()) {
    std::fputs("kestrel-server: cannot watch signals\n", stderr);
    return 1;
  }
  // Nobody answers questions here: a signal is the answer, so the shutdown
  // question is not printed.
  platform::HeadlessMessageBox boxes(/*print_questions=*/false);
  platform::SetMessageBoxes(&boxes);

  const bool journal = IsJournalStream(STDOUT_FILENO, std::getenv("JOURNAL_STREAM"));
  // A reader of standard output that stops reading costs lines, never the
  // logging thread (and with it the shutdown); one that goes away is no signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::fflush(stdout);
  StdoutLines out(STDOUT_FILENO);
  CMainDialog::Hooks hooks;
  hooks.on_log_line = [journal, &out](const std::string& line, int level) {
    std::string text = journal ? std::string(JournalPrefix(level)) : std::string();
    text += platform::Latin1ToUtf8(line);
    out.Write(text);
  };
  int code = 0;
  {
    CMainDialog dialog(loop, platform::SystemClock::Instance(), std::move(hooks));
    dialog.OnInitDialog();
    code = loop.Run();
  }
  platform::SetMessageBoxes(nullptr);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  using kestrel::FrontEndArguments;
  FrontEndArguments parsed =
      kestrel::ParseFrontEndArguments(kestrel::FrontEnd::kHeadless, argc, argv);
  switch (parsed.action) {
    case FrontEndArguments::Action::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case FrontEndArguments::Action::kVersion:
      std::puts(kestrel::kServerVersionText);
      return 0;
    case FrontEndArguments::Action::kUsageError:
      return Usage(parsed.error);
    case FrontEndArguments::Action::kRun:
      break;
  }
  if (parsed.workdir && !ChangeFolder(*parsed.workdir)) return kestrel::kToolUsage;
  const std::vector<std::string>& args = parsed.rest;
  if (args.empty()) return RunServer();
  if (args[0] == "--check-config") {
    if (args.size() > 2) return Usage("--check-config takes one folder at most");
    if (args.size() == 2 && !ChangeFolder(args[1])) return kestrel::kToolUsage;
    return kestrel::RunCheckConfig();
  }
  if (kestrel::IsAdminCommand(args)) return kestrel::RunAdminCommand(args);
  return Usage("unknown argument '" + args[0] + "'");
}
