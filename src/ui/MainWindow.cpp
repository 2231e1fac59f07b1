#include "ui/MainWindow.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QMenu>
#include <QVBoxLayout>

#include "ui/AppIcon.h"
#include "ui/QtMessageBoxSink.h"
#include "ui/ServerMenu.h"

namespace kestrel::ui {

namespace {

QLabel* AddLine(QVBoxLayout* layout, const char* object_name, const std::string& text) {
  auto* label = new QLabel(FromSystemText(text));
  label->setObjectName(QString::fromLatin1(object_name));
  layout->addWidget(label);
  return label;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QString::fromLatin1(TrayModel::kTitle));
  setWindowIcon(ApplicationIcon());

  const TrayModel initial;
  auto* group = new QGroupBox(QString::fromLatin1(TrayModel::kGroupTitle));
  group->setObjectName(QStringLiteral("connectionStatus"));
  auto* lines = new QVBoxLayout(group);
  line_current_ = AddLine(lines, "line1010", initial.line_current);
  line_today_ = AddLine(lines, "line1011", initial.line_today);
  line_parallel_ = AddLine(lines, "line1012", initial.line_parallel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  setMinimumWidth(340);

  menu_ = CreateServerMenu(this);
  menu_->addSeparator();
  QAction* about = menu_->addAction(QString::fromLatin1(TrayModel::kAboutMenuItem));
  connect(about, &QAction::triggered, this, &MainWindow::aboutRequested);
  connect(menu_, &QMenu::triggered, this, [this](QAction* action) {
    if (auto command = MenuCommand(action)) Q_EMIT commandRequested(*command);
  });
}

void MainWindow::ShowLines(const TrayModel& model) {
  line_current_->setText(FromSystemText(model.line_current));
  line_today_->setText(FromSystemText(model.line_today));
  line_parallel_->setText(FromSystemText(model.line_parallel));
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) Q_EMIT minimiseRequested();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The server decides: it asks whether to shut down and ends the front end itself.
  event->ignore();
  Q_EMIT closeRequested();
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  menu_->popup(event->globalPos());
}

}  // namespace kestrel::ui
