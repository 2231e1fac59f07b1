// kestrel-gui: the desktop front end. Runs the server in the current folder
// with its windows, its notification-area icon and its message boxes; the
// server core runs on a thread of its own while Qt owns the first thread.
// SIGHUP restarts the server; SIGTERM and SIGINT shut it down without asking.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "platform/Clock.h"
#include "platform/PidLock.h"
#include "platform/ProcessSetup.h"
#include "shell/FrontEndArguments.h"
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
  using kestrel::FrontEndArguments;
  const FrontEndArguments args =
      kestrel::ParseFrontEndArguments(kestrel::FrontEnd::kDesktop, argc, argv);
  if (args.action == FrontEndArguments::Action::kHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.action == FrontEndArguments::Action::kVersion) {
    std::puts(kestrel::kServerVersionText);
    return 0;
  }
  if (!args.rest.empty()) {
    std::fprintf(stderr, "kestrel-gui: unknown argument '%s' (try --help)\n",
                 args.rest.front().c_str());
    return 2;
  }
  const QString screenshot_dir = QString::fromLocal8Bit(args.screenshot_dir.c_str());
  // One server per working folder; the administration commands look here.
  kestrel::platform::PidLock lock;
  if (!lock.Acquire(kestrel::platform::kServerLockFile)) {
    std::fputs("kestrel-gui: a server already runs in this folder\n", stderr);
    return 1;
  }
  kestrel::platform::RaiseDescriptorLimit();
  const int signal_fd = kestrel::platform::OpenServerSignals();

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
    QObject::connect(signal_watch.get(), &QSocketNotifier::activated, &controller,
                     [&controller, signal_fd] {
                       for (platform::ServerSignal signal = platform::ReadServerSignal(signal_fd);
                            signal != platform::ServerSignal::kNone;
                            signal = platform::ReadServerSignal(signal_fd)) {
                         if (signal == platform::ServerSignal::kRestart) {
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
  if (!screenshot_dir.isEmpty()) {
    QTimer::singleShot(3000, &controller, [&controller, &screenshot_dir] {
      const bool main_saved = SaveGrab(controller.main_window(), screenshot_dir, "main-window.png");
      const bool logging_saved =
          SaveGrab(controller.logging_window(), screenshot_dir, "logging-window.png");
      ui::AboutBox about;
      const bool about_saved = SaveGrab(&about, screenshot_dir, "about-box.png");
      QCoreApplication::exit(main_saved && logging_saved && about_saved ? 0 : 1);
    });
  }

  const int app_code = app.exec();
  const int core_code = controller.Finish();
  signal_watch.reset();
  if (signal_fd >= 0) close(signal_fd);
  return app_code != 0 ? app_code : core_code;
}
