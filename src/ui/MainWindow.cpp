#include "ui/MainWindow.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QStringList>
#include <QVBoxLayout>

#include "support/WindowMessages.h"
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

QGroupBox* AddGroup(QVBoxLayout* layout, const char* object_name, const char* title) {
  auto* group = new QGroupBox(QString::fromLatin1(title));
  group->setObjectName(QString::fromLatin1(object_name));
  layout->addWidget(group);
  return group;
}

constexpr const char* kNoError = "none since the start";
constexpr int kProjectRowsShown = 4;

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

  auto* server = new QVBoxLayout(AddGroup(layout, "serverStatus", "Server"));
  state_line_ = AddLine(server, "stateLine", initial.state_line);
  listen_line_ = AddLine(server, "listenLine", initial.listen_line);
  listen_line_->setWordWrap(true);

  auto* projects = new QVBoxLayout(AddGroup(layout, "projectStatus", "Projects"));
  projects_ = new QTreeWidget;
  projects_->setObjectName(QStringLiteral("projectList"));
  projects_->setHeaderLabels(
      {QStringLiteral("Project"), QStringLiteral("Users"), QStringLiteral("Last scan")});
  projects_->setRootIsDecorated(false);
  projects_->setSelectionMode(QAbstractItemView::NoSelection);
  projects_->setFocusPolicy(Qt::NoFocus);
  projects_->header()->setStretchLastSection(true);
  // Room for a few projects; more scroll.
  projects_->setFixedHeight(projects_->header()->sizeHint().height() * (kProjectRowsShown + 1) +
                            2 * projects_->frameWidth());
  projects->addWidget(projects_);

  auto* error = new QVBoxLayout(AddGroup(layout, "errorStatus", "Last error"));
  last_error_ = AddLine(error, "lastError", kNoError);
  last_error_->setWordWrap(true);
  last_error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  setMinimumWidth(460);

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

void MainWindow::ShowStatus(const TrayModel& model) {
  state_line_->setText(FromSystemText(model.state_line));
  listen_line_->setText(FromSystemText(model.listen_line));
  last_error_->setText(model.last_error.empty() ? QString::fromLatin1(kNoError)
                                                : FromSystemText(model.last_error));
  projects_->clear();
  for (const ProjectStatus& project : model.projects) {
    auto* row = new QTreeWidgetItem(
        projects_, QStringList{FromSystemText(project.name), QString::number(project.users),
                               FromSystemText(project.last_scan)});
    row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  }
  projects_->resizeColumnToContents(0);
  projects_->resizeColumnToContents(1);
  EnableCommand(menu_, ID_RESTART_SERVER, model.state != ServerState::kRestarting);
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
