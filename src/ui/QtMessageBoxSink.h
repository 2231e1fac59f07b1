#pragma once
// Message boxes of the core shown as modal Qt boxes. Show and Ask may be
// called from any thread: on the GUI thread the box runs directly; from any
// other thread the caller blocks until the user has answered on the GUI
// thread. Once the front end is closing, boxes are no longer shown and the
// calls answer as the headless box does (text to stderr, questions yes), so
// no thread waits on a GUI that has stopped answering.
#include <QObject>
#include <QString>
#include <atomic>
#include <string_view>

#include "platform/MessageBox.h"

namespace kestrel::ui {

class QtMessageBoxSink final : public QObject, public platform::MessageBoxSink {
  Q_OBJECT

 public:
  // Create on the GUI thread; it must outlive every thread that may call it.
  explicit QtMessageBoxSink(QObject* parent = nullptr);

  void Show(std::string_view text) override;
  bool Ask(std::string_view question) override;

  // GUI thread: boxes still queued and all later ones get the headless answer.
  void SetClosing() { closing_.store(true); }
  bool closing() const { return closing_.load(); }

 private:
  bool OnGuiThread() const;
  void ShowOnGui(const QString& text);     // GUI thread
  bool AskOnGui(const QString& question);  // GUI thread

  std::atomic<bool> closing_{false};
  platform::HeadlessMessageBox fallback_;
};

// 8-bit system text for Qt.
QString FromSystemText(std::string_view text);

}  // namespace kestrel::ui
