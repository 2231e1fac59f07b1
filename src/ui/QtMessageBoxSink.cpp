#include "ui/QtMessageBoxSink.h"

#include <QMessageBox>
#include <QThread>

#include "shell/TrayModel.h"

namespace kestrel::ui {

QString FromSystemText(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QtMessageBoxSink::QtMessageBoxSink(QObject* parent) : QObject(parent) {}

bool QtMessageBoxSink::OnGuiThread() const {
  return QThread::currentThread() == thread();
}

void QtMessageBoxSink::Show(std::string_view text) {
  if (closing()) {
    fallback_.Show(text);
    return;
  }
  const QString qtext = FromSystemText(text);
  if (OnGuiThread()) {
    ShowOnGui(qtext);
    return;
  }
  // The lambda runs on the GUI thread while this thread waits, so it may use
  // this thread's locals.
  QMetaObject::invokeMethod(
      this, [this, &qtext, text] { closing() ? fallback_.Show(text) : ShowOnGui(qtext); },
      Qt::BlockingQueuedConnection);
}

bool QtMessageBoxSink::Ask(std::string_view question) {
  if (closing()) return fallback_.Ask(question);
  const QString qtext = FromSystemText(question);
  if (OnGuiThread()) return AskOnGui(qtext);
  bool answer = true;
  QMetaObject::invokeMethod(
      this,
      [this, &qtext, &answer, question] {
        answer = closing() ? fallback_.Ask(question) : AskOnGui(qtext);
      },
      Qt::BlockingQueuedConnection);
  return answer;
}

void QtMessageBoxSink::ShowOnGui(const QString& text) {
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(TrayModel::kTitle), text,
                  QMessageBox::Ok);
  box.exec();
}

bool QtMessageBoxSink::AskOnGui(const QString& question) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(TrayModel::kTitle), question,
                  QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace kestrel::ui
