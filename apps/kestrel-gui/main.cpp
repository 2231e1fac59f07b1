// kestrel-gui: the desktop front end. Runs the server in the current folder
// with its windows, its notification-area icon and its message boxes; the
// server core runs on a thread of its own while Qt owns the first thread.
// SIGHUP restarts the server; SIGTERM and SIGINT shut it down without asking.
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Clock.h"
#include "platform/PidLock.h"
#include "support/WindowMessages.h"
#include "ui/AboutBox.h"
#include "ui/AppIcon.h"
#include "ui/GuiController.h"
#include "ui/LoggingWindow.h"
#include "ui/MainWindow.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrel-gui [--help] [--version] [--show-logging] [--screenshot DIR]\n"
    "\n"
    "Runs the Kestrel file-synchronisation server in the current folder with its\n"
    "window and notification-area icon. It creates logs, Config, Backup and Temp\n"
    "there and reads Config/KestrelServer.xml (listening port 50000 without one).\n"
    "\n"
    "  --show-logging     open the logging window at start\n"
    "  --screenshot DIR   open the logging window, save main-window.png,\n"
    "                     logging-window.png and about-box.png into DIR after\n"
    "                     3 seconds, then shut down\n"
    "\n"
    "Signals: SIGHUP restarts the server; SIGTERM and SIGINT shut it down.\n";

struct Arguments {
  bool show_logging = false;
  QString screenshot_dir;
};

// 250 connections with their events need more than the common 1024 descriptors.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Blocks the stop and restart signals in every thread (call before any thread
// starts) and returns a descriptor that reads them, or -1.
int OpenSignalFd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

bool SaveGrab(QWidget* widget, const QString& dir, const char* name) {
  if (!widget->isVisible()) widget->adjustSize();
  const QString path = QDir(dir).filePath(QString::fromLatin1(name));
  const bool saved = widget->grab().save(path);
  std::fprintf(saved ? stdout : stderr, "%s %s\n", saved ? "saved" : "cannot save",
               path.toLocal8Bit().constData());
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("Kestrel - Server, Version 1.0");
      return 0;
    }
    if (std::strcmp(argv[i], "--show-logging") == 0) {
      args.show_logging = true;
      continue;
    }
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      args.screenshot_dir = QString::fromLocal8Bit(argv[++i]);
      args.show_logging = true;
      continue;
    }
    std::fprintf(stderr, "kestrel-gui: unknown argument '%s' (try --help)\n", argv[i]);
    return 2;
  }
  // One server per working folder; the administration commands look here.
  kestrel::platform::PidLock lock;
  if (!lock.Acquire(kestrel::platform::kServerLockFile)) {
    std::fputs("kestrel-gui: a server already runs in this folder\n", stderr);
    return 1;
  }
  RaiseDescriptorLimit();
  const int signal_fd = OpenSignalFd();

  int qt_argc = 1;  // our own options are not Qt's
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("KestrelServer"));
  QApplication::setWindowIcon(kestrel::ui::ApplicationIcon());  // message boxes too
  // Hidden windows and closed boxes never end the server; only a shutdown does.
  QApplication::setQuitOnLastWindowClosed(false);

  using namespace kestrel;
  ui::GuiController controller(platform::SystemClock::Instance());
  QObject::connect(&controller, &ui::GuiController::finished, &app,
                   [](int code) { QCoreApplication::exit(code); });

  std::unique_ptr<QSocketNotifier> signal_watch;
  if (signal_fd >= 0) {
    signal_watch = std::make_unique<QSocketNotifier>(signal_fd, QSocketNotifier::Read);
    QObject::connect(
        signal_watch.get(), &QSocketNotifier::activated, &controller, [&controller, signal_fd] {
          signalfd_siginfo info{};
          while (read(signal_fd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
            if (info.ssi_signo == SIGHUP) {
              controller.Command(ID_RESTART_SERVER);
            } else {
              QCoreApplication::exit(0);  // Finish stops the server without asking
            }
          }
        });
  }

  if (!controller.Start()) {
    std::fputs("kestrel-gui: cannot start the server thread\n", stderr);
    return 1;
  }
  if (args.show_logging) controller.Command(ID_SHOW_LOGGING);
  if (!args.screenshot_dir.isEmpty()) {
    QTimer::singleShot(3000, &controller, [&controller, &args] {
      const bool main_saved =
          SaveGrab(controller.main_window(), args.screenshot_dir, "main-window.png");
      const bool logging_saved =
          SaveGrab(controller.logging_window(), args.screenshot_dir, "logging-window.png");
      ui::AboutBox about;
      const bool about_saved = SaveGrab(&about, args.screenshot_dir, "about-box.png");
      QCoreApplication::exit(main_saved && logging_saved && about_saved ? 0 : 1);
    });
  }

  const int app_code = app.exec();
  const int core_code = controller.Finish();
  signal_watch.reset();
  if (signal_fd >= 0) close(signal_fd);
  return app_code != 0 ? app_code : core_code;
}
