#include "ui/TrayIcon.h"

#include <QMenu>

#include "shell/TrayModel.h"
#include "ui/AppIcon.h"
#include "ui/ServerMenu.h"

namespace kestrel::ui {

namespace {
constexpr const char* kMenuOpen = "Open";
constexpr const char* kMenuAbout = "About";
}  // namespace

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), menu_(CreateServerMenu(nullptr)) {
  icon_.setIcon(ApplicationIcon());
  // The notification area shows at most 63 characters of a tooltip.
  icon_.setToolTip(QString::fromLatin1(TrayModel::kTooltip).left(63));
  menu_->addSeparator();
  connect(menu_->addAction(QString::fromLatin1(kMenuOpen)), &QAction::triggered, this,
          &TrayIcon::restoreRequested);
  connect(menu_->addAction(QString::fromLatin1(kMenuAbout)), &QAction::triggered, this,
          &TrayIcon::aboutRequested);
  icon_.setContextMenu(menu_);
  connect(menu_, &QMenu::triggered, this, [this](QAction* action) {
    if (auto command = MenuCommand(action)) Q_EMIT commandRequested(*command);
  });
  connect(&icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) Q_EMIT restoreRequested();
          });
}

TrayIcon::~TrayIcon() {
  icon_.hide();
  icon_.setContextMenu(nullptr);
  delete menu_;
}

bool TrayIcon::Available() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::Notify(const QString& text) {
  if (icon_.isVisible()) icon_.showMessage(QString::fromLatin1(TrayModel::kTitle), text);
}

void TrayIcon::SetShown(bool shown) {
  if (shown && !Available()) return;
  icon_.setVisible(shown);
}

}  // namespace kestrel::ui
