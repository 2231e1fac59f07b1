#pragma once
// The logging window's face: title "Kestrel - server logging", the read-only
// text view (control 1008) over the group "Log level" with the radio buttons
// "Error", "Warning" and "Info", and the buttons "Clear" and "Hide". It shows
// the lines of the core's CLoggingDialog and follows its visible flag; the
// buttons and radio buttons act on that model. GUI thread only.
#include <QSize>
#include <QWidget>
#include <memory>

#include "logging/LoggingDialog.h"
#include "ui/LogViewSync.h"

class QButtonGroup;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace kestrel::ui {

class LoggingWindow final : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Kestrel - server logging";

  explicit LoggingWindow(QWidget* parent = nullptr);

  // The model to show; null between a server stop and the next start (the
  // window then hides). A different model starts an empty view.
  void Bind(std::shared_ptr<CLoggingDialog> model);
  const std::shared_ptr<CLoggingDialog>& model() const { return model_; }

  // Brings the view's lines to the model's.
  void SyncLines();
  // Follows the model's visible flag and display level. restore: bring the
  // window to the front even if it is shown already ("Show logging" again).
  void SyncState(bool restore = false);

  QString ViewText() const;
  QRadioButton* level_button(int level) const;
  QPushButton* clear_button() const { return clear_; }
  QPushButton* hide_button() const { return hide_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowLevel(int level);

  std::shared_ptr<CLoggingDialog> model_;  // shared with the logging thread
  LogViewMirror mirror_;                   // the lines in view_
  QPlainTextEdit* view_;                   // owned by the widget tree
  QButtonGroup* levels_;                   // owned by this window; ids are log levels
  QPushButton* clear_;                     // owned by the widget tree
  QPushButton* hide_;                      // owned by the widget tree
  QSize remembered_size_;                  // the size as laid out at construction
  int shown_level_ = -1;                   // the level the radio buttons show
};

}  // namespace kestrel::ui
