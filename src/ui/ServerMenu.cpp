#include "ui/ServerMenu.h"

#include "support/WindowMessages.h"

namespace kestrel::ui {

namespace {
constexpr const char* kCommandProperty = "kestrelCommand";
}  // namespace

QMenu* CreateServerMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  const struct {
    const char* text;
    std::uint32_t command;
  } items[] = {{kMenuShowLogging, ID_SHOW_LOGGING},
               {kMenuRestartServer, ID_RESTART_SERVER},
               {kMenuShutdownServer, ID_SHUTDOWN_SERVER}};
  for (const auto& item : items) {
    QAction* action = menu->addAction(QString::fromLatin1(item.text));
    action->setProperty(kCommandProperty, static_cast<uint>(item.command));
  }
  menu->setDefaultAction(menu->actions().front());
  return menu;
}

std::optional<std::uint32_t> MenuCommand(const QAction* action) {
  if (action == nullptr) return std::nullopt;
  const QVariant value = action->property(kCommandProperty);
  if (!value.isValid()) return std::nullopt;
  return static_cast<std::uint32_t>(value.toUInt());
}

void EnableCommand(QMenu* menu, std::uint32_t command, bool enabled) {
  for (QAction* action : menu->actions()) {
    if (MenuCommand(action) == command) action->setEnabled(enabled);
  }
}

}  // namespace kestrel::ui
