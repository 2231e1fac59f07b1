// Turning the lines on screen into the logging model's lines.
#include <QTest>
#include <string>
#include <vector>

#include "ui/LogViewSync.h"

using kestrel::ui::LogViewMirror;
using kestrel::ui::PlanLogViewUpdate;
using Lines = std::vector<std::string>;

class LogViewSyncTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void appendedLinesAreAddedWithoutTouchingTheShownOnes() {
    auto update = PlanLogViewUpdate({"a", "b"}, {"a", "b", "c", "d"});
    QCOMPARE(update.drop_front, std::size_t{0});
    QCOMPARE(update.append_from, std::size_t{2});
  }

  void linesLeavingTheModelLeaveTheTopOfTheView() {
    auto update = PlanLogViewUpdate({"a", "b", "c"}, {"c", "d"});
    QCOMPARE(update.drop_front, std::size_t{2});
    QCOMPARE(update.append_from, std::size_t{1});
  }

  void aClearedModelEmptiesTheView() {
    auto update = PlanLogViewUpdate({"a", "b"}, {"x"});
    QCOMPARE(update.drop_front, std::size_t{2});
    QCOMPARE(update.append_from, std::size_t{0});
    update = PlanLogViewUpdate({"a", "b"}, {});
    QCOMPARE(update.drop_front, std::size_t{2});
  }

  void anUnchangedModelChangesNothing() {
    auto update = PlanLogViewUpdate({"a", "b"}, {"a", "b"});
    QCOMPARE(update.drop_front, std::size_t{0});
    QCOMPARE(update.append_from, std::size_t{2});
  }

  void repeatedLinesStillEndEqualToTheModel() {
    LogViewMirror mirror;
    mirror.Update({"x", "x", "y"});
    mirror.Update({"x", "y", "x", "x"});
    QCOMPARE(mirror.lines(), (Lines{"x", "y", "x", "x"}));
    mirror.Update({"y", "x", "x", "x"});
    QCOMPARE(mirror.lines(), (Lines{"y", "x", "x", "x"}));
    mirror.Update({"x", "x"});
    QCOMPARE(mirror.lines(), (Lines{"x", "x"}));
  }

  void aFullViewThatScrollsKeepsAtMostTheModelsLines() {
    LogViewMirror mirror;
    Lines model;
    for (int i = 0; i < 500; ++i) model.push_back("line " + std::to_string(i));
    mirror.Update(model);
    for (int i = 500; i < 700; ++i) {
      model.erase(model.begin());
      model.push_back("line " + std::to_string(i));
      auto update = mirror.Update(model);
      QCOMPARE(update.drop_front, std::size_t{1});
      QCOMPARE(update.append_from, std::size_t{499});
    }
    QCOMPARE(mirror.lines(), model);
  }
};

int RunLogViewSyncTest(int argc, char** argv) {
  LogViewSyncTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "LogViewSyncTest.moc"
