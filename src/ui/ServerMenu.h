#pragma once
// The tray menu "TrayMenu": "Show logging", "Restart Server", "Shutdown
// Server", in this order, "Show logging" being the default item. Each action
// carries its main window command identifier as data. GUI thread only.
#include <QAction>
#include <QMenu>
#include <cstdint>
#include <optional>

namespace kestrel::ui {

inline constexpr const char* kMenuShowLogging = "Show logging";
inline constexpr const char* kMenuRestartServer = "Restart Server";
inline constexpr const char* kMenuShutdownServer = "Shutdown Server";

// parent: owns the menu (may be null: the caller then owns it).
QMenu* CreateServerMenu(QWidget* parent);

// The command identifier an action of that menu carries; none for other actions.
std::optional<std::uint32_t> MenuCommand(const QAction* action);

// Turns the action of menu that carries command on or off.
void EnableCommand(QMenu* menu, std::uint32_t command, bool enabled);

}  // namespace kestrel::ui
