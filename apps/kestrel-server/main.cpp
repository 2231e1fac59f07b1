// kestrel-server: the headless front end. Runs the server in the current
// folder until SIGTERM or SIGINT; SIGHUP restarts it. Lines of the logging
// window go to stdout, message boxes to stderr.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "SignalBridge.h"
#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "shell/MainDialog.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrel-server [--help] [--version]\n"
    "\n"
    "Runs the Kestrel file-synchronisation server in the current folder: it\n"
    "creates logs, Config, Backup and Temp there and reads\n"
    "Config/KestrelServer.xml (listening port 50000 without one).\n"
    "\n"
    "Signals: SIGHUP restarts the server (the configuration is read again);\n"
    "SIGTERM and SIGINT shut it down.\n";

// 250 connections with their events need more than the common 1024 descriptors.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("Kestrel - Server, Version 1.0");
      return 0;
    }
    std::fprintf(stderr, "kestrel-server: unknown argument '%s' (try --help)\n", argv[i]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  RaiseDescriptorLimit();

  using namespace kestrel;
  platform::MessageLoop loop(platform::SystemClock::Instance());
  // Blocks the signals before any other thread exists, so only the bridge sees them.
  SignalBridge signals(loop);
  if (!signals.Start()) {
    std::fputs("kestrel-server: cannot watch signals\n", stderr);
    return 1;
  }

  CMainDialog::Hooks hooks;
  hooks.on_log_line = [](const std::string& line, int) {
    std::string text = platform::Latin1ToUtf8(line);
    std::fprintf(stdout, "%s\n", text.c_str());
  };
  CMainDialog dialog(loop, platform::SystemClock::Instance(), std::move(hooks));
  dialog.OnInitDialog();
  return loop.Run();
}
