// Runs the front end's test classes on Qt's offscreen platform (unless a
// platform is chosen in the environment). Fails when any class fails.
#include <QApplication>

int RunLogViewSyncTest(int argc, char** argv);
int RunGuiTest(int argc, char** argv);
int RunGuiProcessTest(int argc, char** argv);

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  int failed = 0;
  failed += RunLogViewSyncTest(argc, argv) != 0 ? 1 : 0;
  failed += RunGuiTest(argc, argv) != 0 ? 1 : 0;
  failed += RunGuiProcessTest(argc, argv) != 0 ? 1 : 0;
  return failed == 0 ? 0 : 1;
}
