#include "ui/LoggingWindow.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QVBoxLayout>

#include "logging/LogRecord.h"
#include "ui/AppIcon.h"
#include "ui/QtMessageBoxSink.h"

namespace kestrel::ui {

LoggingWindow::LoggingWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("loggingWindow"));
  setWindowTitle(QString::fromLatin1(kTitle));
  setWindowIcon(ApplicationIcon());

  view_ = new QPlainTextEdit;
  view_->setObjectName(QStringLiteral("textView1008"));
  view_->setReadOnly(true);
  view_->setUndoRedoEnabled(false);
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  auto* group = new QGroupBox(QStringLiteral("Log level"));
  auto* radios = new QHBoxLayout(group);
  levels_ = new QButtonGroup(this);
  const struct {
    int level;
    const char* name;
  } choices[] = {{kLogError, "radioError1002"},
                 {kLogWarning, "radioWarning1003"},
                 {kLogInfo, "radioInfo1004"}};
  for (const auto& choice : choices) {
    auto* radio = new QRadioButton(QString::fromLatin1(LogLevelName(choice.level)));
    radio->setObjectName(QString::fromLatin1(choice.name));
    levels_->addButton(radio, choice.level);
    radios->addWidget(radio);
  }
  clear_ = new QPushButton(QStringLiteral("Clear"));
  clear_->setObjectName(QStringLiteral("clear1011"));
  hide_ = new QPushButton(QStringLiteral("Hide"));
  hide_->setObjectName(QStringLiteral("hide1000"));

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(group);
  bottom->addStretch(1);
  bottom->addWidget(clear_, 0, Qt::AlignBottom);
  bottom->addWidget(hide_, 0, Qt::AlignBottom);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_, 1);
  layout->addLayout(bottom);

  connect(levels_, &QButtonGroup::idClicked, this, [this](int level) {
    if (model_) model_->SetDisplayLevel(level);
    shown_level_ = level;
  });
  connect(clear_, &QPushButton::clicked, this, [this] {
    if (model_) model_->Clear();
    SyncLines();
  });
  connect(hide_, &QPushButton::clicked, this, [this] {
    if (model_) model_->Hide();
    SyncState();
  });

  resize(640, 400);
  remembered_size_ = size();
}

void LoggingWindow::Bind(std::shared_ptr<CLoggingDialog> model) {
  if (model == model_) return;
  model_ = std::move(model);
  mirror_.Reset();
  view_->clear();
  shown_level_ = -1;
  SyncLines();
  SyncState();
}

void LoggingWindow::SyncLines() {
  if (!model_) return;
  const std::vector<std::string> lines = model_->Lines();
  const std::size_t shown_before = mirror_.lines().size();
  const LogViewUpdate update = mirror_.Update(lines);

  QScrollBar* bar = view_->verticalScrollBar();
  const bool follow_end = bar->value() >= bar->maximum();
  if (update.drop_front >= shown_before) {
    if (shown_before > 0) view_->clear();
  } else if (update.drop_front > 0) {
    QTextCursor cursor(view_->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                        static_cast<int>(update.drop_front));
    cursor.removeSelectedText();
  }
  if (update.append_from < lines.size()) {
    QStringList added;
    added.reserve(static_cast<qsizetype>(lines.size() - update.append_from));
    for (std::size_t i = update.append_from; i < lines.size(); ++i) {
      added.append(FromSystemText(lines[i]));
    }
    view_->appendPlainText(added.join(QLatin1Char('\n')));
  }
  if (follow_end) bar->setValue(bar->maximum());
}

void LoggingWindow::SyncState(bool restore) {
  const bool visible = model_ && model_->visible();
  if (model_) ShowLevel(model_->display_level());
  if (!visible) {
    if (isVisible()) hide();
    return;
  }
  if (!isVisible()) {
    // Shown again at the size it was laid out with, where it was.
    resize(remembered_size_);
    restore = true;
  }
  if (restore) {
    showNormal();
    raise();
    activateWindow();
  }
}

void LoggingWindow::ShowLevel(int level) {
  if (level == shown_level_) return;
  shown_level_ = level;
  if (QAbstractButton* button = levels_->button(level)) {
    button->setChecked(true);
    return;
  }
  // A configured level outside 0 to 2 checks no button.
  levels_->setExclusive(false);
  for (QAbstractButton* button : levels_->buttons()) button->setChecked(false);
  levels_->setExclusive(true);
}

QString LoggingWindow::ViewText() const {
  return view_->toPlainText();
}

QRadioButton* LoggingWindow::level_button(int level) const {
  return qobject_cast<QRadioButton*>(levels_->button(level));
}

void LoggingWindow::closeEvent(QCloseEvent* event) {
  // The close box only hides the window; the server keeps logging into it.
  if (model_) model_->Hide();
  event->accept();
}

}  // namespace kestrel::ui
