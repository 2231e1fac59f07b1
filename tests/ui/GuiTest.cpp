// The desktop front end on Qt's offscreen platform: the real core runs on its
// own thread in a temporary working folder (no configuration, any free port),
// the real windows show its state and real message boxes are answered by a
// timer that clicks their buttons.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <memory>
#include <thread>

#include "logging/LogRecord.h"
#include "platform/Clock.h"
#include "support/WindowMessages.h"
#include "ui/AboutBox.h"
#include "ui/GuiController.h"
#include "ui/LoggingWindow.h"
#include "ui/MainWindow.h"
#include "ui/QtMessageBoxSink.h"
#include "ui/ServerMenu.h"
#include "ui/TrayIcon.h"

using namespace kestrel;
using namespace kestrel::ui;

namespace {

constexpr int kWaitMs = 10000;

// Clicks one button of every message box that appears and remembers its text.
class BoxAnswerer : public QObject {
 public:
  explicit BoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
    connect(&timer_, &QTimer::timeout, this, [this] { AnswerOpenBoxes(); });
    timer_.start(20);
  }
  QStringList texts;

 private:
  void AnswerOpenBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      // Marked on the box itself: a later box may reuse a closed one's address.
      if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) continue;
      box->setProperty("answered", true);
      texts.append(box->text());
      QAbstractButton* button = box->button(answer_);
      if (button == nullptr) button = box->buttons().value(0);
      if (button != nullptr) button->click();
    }
  }
  QMessageBox::StandardButton answer_;
  QTimer timer_;
};

QString ReadLogbook() {
  QDir logs(QStringLiteral("logs"));
  QString all;
  for (const QString& name :
       logs.entryList({QStringLiteral("Server Logbook *.log")}, QDir::Files, QDir::Name)) {
    QFile file(logs.filePath(name));
    if (file.open(QIODevice::ReadOnly)) all += QString::fromLatin1(file.readAll());
  }
  return all;
}

// One project, Team, with one user; its root folder is made too.
bool WriteTeamConfiguration() {
  if (!QDir().mkpath(QStringLiteral("Config")) || !QDir().mkpath(QStringLiteral("Team"))) {
    return false;
  }
  QFile config(QStringLiteral("Config/KestrelServer.xml"));
  if (!config.open(QIODevice::WriteOnly)) return false;
  config.write(
      "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
      "<CustomerInstallation>true</CustomerInstallation></General><Project1>"
      "<Projectname>Team</Projectname><Rootpath>.\\Team</Rootpath>"
      "<Group1><Groupname>Staff</Groupname></Group1><User1><Username>ann</Username>"
      "<Realname>Ann</Realname><Password>x</Password><Useremail>ann@example.com</Useremail>"
      "<Group1>Staff</Group1></User1></Project1></KestrelServer_Config>\n");
  return true;
}

QString ModelText(const CLoggingDialog& model) {
  QStringList lines;
  for (const std::string& line : model.Lines()) lines.append(FromSystemText(line));
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

class GuiTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QString previous_dir_;

  std::unique_ptr<GuiController> StartController() {
    GuiOptions options;
    options.port_override = 0;
    options.state_poll_ms = 20;
    auto controller = std::make_unique<GuiController>(platform::SystemClock::Instance(), options);
    if (!controller->Start()) return nullptr;
    return controller;
  }

  // The logging window exists and its model is bound.
  static bool LoggingBound(GuiController& controller) {
    return controller.logging_window()->model() != nullptr;
  }

 private Q_SLOTS:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    previous_dir_ = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_->path()));
  }

  void cleanup() {
    QDir::setCurrent(previous_dir_);
    dir_.reset();
  }

  void mainWindowShowsTitleGroupAndZeroedStatisticsAfterStart() {
    auto controller = StartController();
    QVERIFY(controller);
    MainWindow* window = controller->main_window();
    QCOMPARE(window->windowTitle(), QStringLiteral("Kestrel - Server"));
    auto* group = window->findChild<QGroupBox*>();
    QVERIFY(group != nullptr);
    QCOMPARE(group->title(), QStringLiteral("Network connection status"));
    QTRY_COMPARE_WITH_TIMEOUT(window->line_current()->text(),
                              QStringLiteral("current connections: 0"), kWaitMs);
    QCOMPARE(window->line_today()->text(), QStringLiteral("total number connections today: 0"));
    QCOMPARE(window->line_parallel()->text(),
             QStringLiteral("number parallel connections today: 0"));
    QCOMPARE(controller->logging_window()->windowTitle(),
             QStringLiteral("Kestrel - server logging"));
    QTRY_VERIFY_WITH_TIMEOUT(controller->core().port() != 0, kWaitMs);
    QCOMPARE(controller->Finish(), 0);
  }

  void mainWindowShowsWhereItListensTheProjectsAndTheLastError() {
    QVERIFY(WriteTeamConfiguration());
    auto controller = StartController();
    QVERIFY(controller);
    MainWindow* window = controller->main_window();
    QTRY_VERIFY_WITH_TIMEOUT(controller->core().port() != 0, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(window->listen_line()->text(),
                              QStringLiteral("listening on *:%1").arg(controller->core().port()),
                              kWaitMs);
    QVERIFY(window->state_line()->text().startsWith(QStringLiteral("running since ")));
    QCOMPARE(window->projects()->topLevelItemCount(), 1);
    const QTreeWidgetItem* team = window->projects()->topLevelItem(0);
    QCOMPARE(team->text(0), QStringLiteral("Team"));
    QCOMPARE(team->text(1), QStringLiteral("1"));
    // The first scan's time replaces the placeholder at the next timer tick.
    QTRY_VERIFY_WITH_TIMEOUT(
        window->projects()->topLevelItem(0)->text(2) != QStringLiteral("not scanned yet"), kWaitMs);
    QCOMPARE(window->last_error()->text(), QStringLiteral("none since the start"));
    controller->core().log().Log(kLogError, "disk full");
    QTRY_VERIFY_WITH_TIMEOUT(
        window->last_error()->text().endsWith(QStringLiteral("Error: disk full")), kWaitMs);
    QCOMPARE(controller->Finish(), 0);
  }

  void restartTurnsRestartOffWhileItRunsAndReportsTheNewStart() {
    auto controller = StartController();
    QVERIFY(controller);
    MainWindow* window = controller->main_window();
    QTRY_VERIFY_WITH_TIMEOUT(window->state_line()->text().startsWith("running since "), kWaitMs);
    TrayModel restarting;
    restarting.state = ServerState::kRestarting;
    restarting.state_line = "restarting ...";
    window->ShowStatus(restarting);
    QAction* restart = window->menu()->actions().at(1);
    QCOMPARE(MenuCommand(restart), std::optional<std::uint32_t>(ID_RESTART_SERVER));
    QVERIFY(!restart->isEnabled());
    QCOMPARE(window->state_line()->text(), QStringLiteral("restarting ..."));

    controller->Command(ID_RESTART_SERVER);
    QTRY_VERIFY_WITH_TIMEOUT(window->state_line()->text().startsWith("restarted at "), kWaitMs);
    QVERIFY(restart->isEnabled());
    QVERIFY(controller->tray_icon()->menu()->actions().at(1)->isEnabled());
    QCOMPARE(controller->Finish(), 0);
  }

  void withoutNotificationAreaTheStartMinimiseKeepsTheWindowVisible() {
    if (TrayIcon::Available()) QSKIP("this desktop has a notification area");
    auto controller = StartController();
    QVERIFY(controller);
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);  // the start minimise has run
    QTest::qWait(100);
    QVERIFY(controller->main_window()->isVisible());
    QVERIFY(!controller->in_tray());
    QVERIFY(!controller->tray_icon()->shown());
    controller->main_window()->showMinimized();
    QTest::qWait(100);
    QVERIFY(controller->main_window()->isVisible());
    QVERIFY(!controller->in_tray());
    QCOMPARE(controller->Finish(), 0);
  }

  void shutdownAnsweredYesStopsTheServerAndReportsExitCodeZero() {
    auto controller = StartController();
    QVERIFY(controller);
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    QSignalSpy finished(controller.get(), &GuiController::finished);
    BoxAnswerer answerer(QMessageBox::Yes);
    controller->Command(ID_SHUTDOWN_SERVER);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kWaitMs);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QCOMPARE(answerer.texts, QStringList{"Do you really want to shutdown the server?"});
    QVERIFY(controller->core_finished());
    QVERIFY(!controller->main_window()->isVisible());
    QVERIFY(ReadLogbook().contains("Warning: Server application terminated"));
    QCOMPARE(controller->Finish(), 0);
  }

  void shutdownAnsweredNoLeavesTheServerRunning() {
    auto controller = StartController();
    QVERIFY(controller);
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    QSignalSpy finished(controller.get(), &GuiController::finished);
    {
      BoxAnswerer answerer(QMessageBox::No);
      controller->Command(ID_SHUTDOWN_SERVER);
      QTRY_COMPARE_WITH_TIMEOUT(answerer.texts.size(), 1, kWaitMs);
      QTest::qWait(200);
    }
    QCOMPARE(finished.count(), 0);
    QVERIFY(!controller->core_finished());
    QVERIFY(controller->main_window()->isVisible());
    QVERIFY(!ReadLogbook().contains("Server application terminated"));
    // Leaving without a shutdown still stops the server, without asking.
    QCOMPARE(controller->Finish(), 0);
    QVERIFY(ReadLogbook().contains("Warning: Server application terminated"));
  }

  void closeBoxAsksTheShutdownQuestionInsteadOfClosing() {
    auto controller = StartController();
    QVERIFY(controller);
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    BoxAnswerer answerer(QMessageBox::No);
    QVERIFY(!controller->main_window()->close());
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts.size(), 1, kWaitMs);
    QCOMPARE(answerer.texts.front(), QStringLiteral("Do you really want to shutdown the server?"));
    QTest::qWait(100);
    QVERIFY(controller->main_window()->isVisible());
    QVERIFY(!controller->core_finished());
    QCOMPARE(controller->Finish(), 0);
  }

  void showLoggingShowsTheWindowWithTheModelsLines() {
    auto controller = StartController();
    QVERIFY(controller);
    LoggingWindow* logging = controller->logging_window();
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    QVERIFY(!logging->isVisible());  // hidden until asked for
    controller->Command(ID_SHOW_LOGGING);
    QTRY_VERIFY_WITH_TIMEOUT(logging->isVisible(), kWaitMs);
    // No configuration: no project, reported at level Error (shown at LogLevel 1).
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("Error: No projects available!"),
                             kWaitMs);
    QCOMPARE(logging->ViewText(), ModelText(*logging->model()));
    QVERIFY(logging->level_button(kLogWarning)->isChecked());

    QTest::mouseClick(logging->hide_button(), Qt::LeftButton);
    QVERIFY(!logging->isVisible());
    QVERIFY(!logging->model()->visible());

    controller->Command(ID_SHOW_LOGGING);
    QTRY_VERIFY_WITH_TIMEOUT(logging->isVisible(), kWaitMs);
    QVERIFY(logging->close());  // the close box hides it
    QVERIFY(!logging->model()->visible());
    QTest::qWait(100);
    QVERIFY(!logging->isVisible());
    QCOMPARE(controller->Finish(), 0);
  }

  void logViewKeepsTheModels500LineBound() {
    auto controller = StartController();
    QVERIFY(controller);
    LoggingWindow* logging = controller->logging_window();
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    for (int i = 0; i < 620; ++i) controller->core().log().Logf(kLogWarning, "line %d", i);
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().endsWith("Warning: line 619"), kWaitMs);
    QCOMPARE(logging->model()->Lines().size(), CLoggingDialog::kMaxLines);
    QCOMPARE(logging->ViewText(), ModelText(*logging->model()));
    QCOMPARE(logging->ViewText().count(QLatin1Char('\n')) + 1,
             static_cast<qsizetype>(CLoggingDialog::kMaxLines));
    QCOMPARE(controller->Finish(), 0);
  }

  void clearEmptiesViewAndModelAndTheNextLineStartsAtTheTop() {
    auto controller = StartController();
    QVERIFY(controller);
    LoggingWindow* logging = controller->logging_window();
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("No projects available!"), kWaitMs);
    QTest::mouseClick(logging->clear_button(), Qt::LeftButton);
    QCOMPARE(logging->ViewText(), QString());
    QVERIFY(logging->model()->Lines().empty());
    controller->core().log().Log(kLogError, "after clear");
    QTRY_VERIFY_WITH_TIMEOUT(!logging->ViewText().isEmpty(), kWaitMs);
    QVERIFY(logging->ViewText().endsWith("Error: after clear"));
    QVERIFY(!logging->ViewText().contains('\n'));
    QCOMPARE(controller->Finish(), 0);
  }

  void radioButtonsSetTheModelsDisplayLevel() {
    auto controller = StartController();
    QVERIFY(controller);
    LoggingWindow* logging = controller->logging_window();
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    controller->Command(ID_SHOW_LOGGING);
    QTRY_VERIFY_WITH_TIMEOUT(logging->isVisible(), kWaitMs);
    controller->core().log().Log(kLogInfo, "hidden info");
    controller->core().log().Log(kLogError, "marker");  // handled after the Info record
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("Error: marker"), kWaitMs);
    QTest::mouseClick(logging->level_button(kLogInfo), Qt::LeftButton);
    QCOMPARE(logging->model()->display_level(), static_cast<int>(kLogInfo));
    controller->core().log().Log(kLogInfo, "shown info");
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("Info: shown info"), kWaitMs);
    QVERIFY(!logging->ViewText().contains("hidden info"));
    QTest::mouseClick(logging->level_button(kLogError), Qt::LeftButton);
    QCOMPARE(logging->model()->display_level(), static_cast<int>(kLogError));
    QCOMPARE(controller->Finish(), 0);
  }

  void restartBindsTheViewToTheNewLoggingWindow() {
    auto controller = StartController();
    QVERIFY(controller);
    LoggingWindow* logging = controller->logging_window();
    QTRY_VERIFY_WITH_TIMEOUT(LoggingBound(*controller), kWaitMs);
    controller->Command(ID_SHOW_LOGGING);
    QTRY_VERIFY_WITH_TIMEOUT(logging->isVisible(), kWaitMs);
    controller->core().log().Log(kLogError, "before restart");
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("before restart"), kWaitMs);
    const CLoggingDialog* old_model = logging->model().get();

    controller->Command(ID_RESTART_SERVER);
    QTRY_VERIFY_WITH_TIMEOUT(logging->model() && logging->model().get() != old_model, kWaitMs);
    // The new logging window starts hidden and empty of the old lines.
    QTRY_VERIFY_WITH_TIMEOUT(!logging->isVisible(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(logging->ViewText().contains("No projects available!"), kWaitMs);
    QVERIFY(!logging->ViewText().contains("before restart"));
    QTRY_COMPARE_WITH_TIMEOUT(controller->main_window()->line_current()->text(),
                              QStringLiteral("current connections: 0"), kWaitMs);
    QCOMPARE(controller->Finish(), 0);
  }

  void boxFromAnotherThreadBlocksItUntilAnswered() {
    QtMessageBoxSink sink;
    BoxAnswerer answerer(QMessageBox::No);
    std::atomic<int> result{-1};
    std::thread asker([&] {
      result.store(sink.Ask("Gr\xF6\xDF"
                            "e?")
                       ? 1
                       : 0);
    });
    QTRY_COMPARE_WITH_TIMEOUT(result.load(), 0, kWaitMs);
    asker.join();
    QCOMPARE(answerer.texts, QStringList{QString::fromUtf8("Größe?")});

    std::atomic<bool> shown{false};
    std::thread shower([&] {
      sink.Show("The specified address is already in use !");
      shown.store(true);
    });
    QTRY_VERIFY_WITH_TIMEOUT(shown.load(), kWaitMs);
    shower.join();
    QCOMPARE(answerer.texts.back(), QStringLiteral("The specified address is already in use !"));
  }

  void closingSinkAnswersYesWithoutShowingABox() {
    QtMessageBoxSink sink;
    sink.SetClosing();
    BoxAnswerer answerer(QMessageBox::No);
    QVERIFY(sink.Ask("Do you really want to shutdown the server?"));
    std::thread other([&] { sink.Show("gone"); });
    other.join();  // never waits for this thread's event loop
    QTest::qWait(50);
    QVERIFY(answerer.texts.isEmpty());
  }

  void trayMenuListsTheThreeCommandsWithShowLoggingAsDefaultThenOpenAndAbout() {
    TrayIcon tray;
    QStringList texts;
    for (QAction* action : tray.menu()->actions()) texts.append(action->text());
    QCOMPARE(texts, (QStringList{"Show logging", "Restart Server", "Shutdown Server", "", "Open",
                                 "About"}));
    QCOMPARE(tray.menu()->defaultAction(), tray.menu()->actions().front());
    QCOMPARE(tray.tooltip(), QStringLiteral("Kestrel - Server"));
    QSignalSpy commands(&tray, &TrayIcon::commandRequested);
    tray.menu()->actions().at(2)->trigger();
    QCOMPARE(commands.count(), 1);
    QCOMPARE(commands.at(0).at(0).value<std::uint32_t>(), ID_SHUTDOWN_SERVER);
    QSignalSpy opened(&tray, &TrayIcon::restoreRequested);
    QSignalSpy about(&tray, &TrayIcon::aboutRequested);
    tray.menu()->actions().at(4)->trigger();
    tray.menu()->actions().at(5)->trigger();
    QCOMPARE(opened.count(), 1);
    QCOMPARE(about.count(), 1);
    QCOMPARE(commands.count(), 1);
  }

  void aboutBoxShowsTitleAndVersionLine() {
    AboutBox box;
    QCOMPARE(box.windowTitle(), QStringLiteral("About KestrelServer"));
    auto* text = box.findChild<QLabel*>(QStringLiteral("aboutText"));
    QVERIFY(text != nullptr);
    QCOMPARE(text->text(), QStringLiteral("Kestrel - Server, Version 1.0"));
  }
};

int RunGuiTest(int argc, char** argv) {
  GuiTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "GuiTest.moc"
