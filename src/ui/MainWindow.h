#pragma once
// The main window's face: title "Kestrel - Server", the group "Network
// connection status" with the three statistics lines (controls 1010, 1011,
// 1012), then the server's state and where it listens, its projects with
// their user counts and last scans, and the last Error line. Its context menu
// holds the tray menu's commands and "&About KestrelServer...". It decides
// nothing itself: minimising, closing and menu commands are reported as
// signals. GUI thread only.
#include <QLabel>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>

#include "shell/TrayModel.h"

class QMenu;

namespace kestrel::ui {

class MainWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);

  // Shows the three statistics lines of the model.
  void ShowLines(const TrayModel& model);
  // Shows the server status of the model; "Restart Server" is off while it restarts.
  void ShowStatus(const TrayModel& model);

  // The labels of controls 1010, 1011 and 1012 (tests and screenshots).
  const QLabel* line_current() const { return line_current_; }
  const QLabel* line_today() const { return line_today_; }
  const QLabel* line_parallel() const { return line_parallel_; }
  // The status (tests and screenshots).
  const QLabel* state_line() const { return state_line_; }
  const QLabel* listen_line() const { return listen_line_; }
  const QTreeWidget* projects() const { return projects_; }
  const QLabel* last_error() const { return last_error_; }
  QMenu* menu() const { return menu_; }

 Q_SIGNALS:
  void commandRequested(std::uint32_t command);  // a main window command id
  void aboutRequested();
  void minimiseRequested();  // the user minimised the window
  void closeRequested();     // the close box; the window stays open

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QLabel* line_current_;   // owned by the widget tree
  QLabel* line_today_;     // owned by the widget tree
  QLabel* line_parallel_;  // owned by the widget tree
  QLabel* state_line_;     // owned by the widget tree
  QLabel* listen_line_;    // owned by the widget tree
  QTreeWidget* projects_;  // owned by the widget tree; columns: name, users, last scan
  QLabel* last_error_;     // owned by the widget tree
  QMenu* menu_;            // owned by this window
};

}  // namespace kestrel::ui
