// The kestrel-gui program itself, run as a person would start it: in a
// working folder of its own (listening on any free port), on Qt's offscreen
// platform.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWaitMs = 30000;

QString Logbook(const QDir& work) {
  QDir logs(work.filePath(QStringLiteral("logs")));
  QString all;
  for (const QString& name :
       logs.entryList({QStringLiteral("Server Logbook *.log")}, QDir::Files)) {
    QFile file(logs.filePath(name));
    if (file.open(QIODevice::ReadOnly)) all += QString::fromLatin1(file.readAll());
  }
  return all;
}

}  // namespace

class GuiProcessTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;

  QDir Work() const { return QDir(dir_->path()); }

  void StartGui(QProcess& process, const QStringList& arguments) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir_->path());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(KESTREL_GUI_EXE), arguments);
  }

 private Q_SLOTS:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(Work().mkpath(QStringLiteral("Config")));
    QFile config(Work().filePath(QStringLiteral("Config/KestrelServer.xml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(
        "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n  <General>\n"
        "    <TCPIPListenPort>0</TCPIPListenPort>\n  </General>\n</KestrelServer_Config>\n");
  }

  void cleanup() { dir_.reset(); }

  void versionPrintsTheAboutLine() {
    QProcess gui;
    StartGui(gui, {QStringLiteral("--version")});
    QVERIFY(gui.waitForFinished(kWaitMs));
    QCOMPARE(gui.exitCode(), 0);
    QCOMPARE(gui.readAllStandardOutput().trimmed(), QByteArray("Kestrel - Server, Version 1.0"));
  }

  void unknownArgumentIsRefusedWithoutStartingTheServer() {
    QProcess gui;
    StartGui(gui, {QStringLiteral("--bogus")});
    QVERIFY(gui.waitForFinished(kWaitMs));
    QCOMPARE(gui.exitCode(), 2);
    QVERIFY(!Work().exists(QStringLiteral("logs")));
  }

  void screenshotRunSavesEachWindowAndShutsDownCleanly() {
    QProcess gui;
    const QString shots = Work().filePath(QStringLiteral("shots"));
    QVERIFY(QDir().mkpath(shots));
    StartGui(gui, {QStringLiteral("--screenshot"), shots});
    QVERIFY(gui.waitForFinished(kWaitMs));
    QCOMPARE(gui.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gui.exitCode(), 0);
    const QImage main_window(QDir(shots).filePath(QStringLiteral("main-window.png")));
    const QImage logging_window(QDir(shots).filePath(QStringLiteral("logging-window.png")));
    QVERIFY(!main_window.isNull());
    QVERIFY(!logging_window.isNull());
    QVERIFY(!QImage(QDir(shots).filePath(QStringLiteral("about-box.png"))).isNull());
    QVERIFY(logging_window.width() > main_window.width());
    // The working folders exist and the stop reached the logbook.
    for (const char* folder : {"logs", "Config", "Backup", "Temp"}) {
      QVERIFY2(Work().exists(QString::fromLatin1(folder)), folder);
    }
    QVERIFY(Logbook(Work()).contains(QStringLiteral("Error: No projects available!")));
    QVERIFY(Logbook(Work()).contains(QStringLiteral("Warning: Server application terminated")));
  }

  void sigtermStopsTheServerWithoutAskingAndExitsZero() {
    QProcess gui;
    StartGui(gui, {});
    QVERIFY(gui.waitForStarted(kWaitMs));
    // The logging window writes its first Error once the server runs.
    QTRY_VERIFY_WITH_TIMEOUT(Logbook(Work()).contains(QStringLiteral("No projects available!")),
                             kWaitMs);
    gui.terminate();  // SIGTERM
    QVERIFY(gui.waitForFinished(kWaitMs));
    QCOMPARE(gui.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gui.exitCode(), 0);
    QVERIFY(Logbook(Work()).contains(QStringLiteral("Warning: Server application terminated")));
  }
};

int RunGuiProcessTest(int argc, char** argv) {
  GuiProcessTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "GuiProcessTest.moc"
