#pragma once
// The notification-area icon: the application icon with the tooltip
// "Kestrel - Server", the tray menu on a right click (followed by "Open" and
// "About") and a double click that asks for the main window back. GUI thread
// only.
#include <QObject>
#include <QSystemTrayIcon>
#include <cstdint>

class QMenu;

namespace kestrel::ui {

class TrayIcon final : public QObject {
  Q_OBJECT

 public:
  explicit TrayIcon(QObject* parent = nullptr);
  ~TrayIcon() override;

  // False when the desktop has no notification area; the icon then never shows.
  static bool Available();

  void SetShown(bool shown);
  bool shown() const { return icon_.isVisible(); }
  QMenu* menu() const { return menu_; }
  QString tooltip() const { return icon_.toolTip(); }
  // A passing message beside the icon, while it is shown.
  void Notify(const QString& text);

 Q_SIGNALS:
  void commandRequested(std::uint32_t command);  // a main window command id
  void restoreRequested();                       // left double click on the icon, or "Open"
  void aboutRequested();                         // "About"

 private:
  QSystemTrayIcon icon_;
  QMenu* menu_;  // owned: deleted by the destructor (a menu has no QObject parent here)
};

}  // namespace kestrel::ui
