#pragma once
// The window messages that carry work between the server's threads, the
// standard ones the main and logging windows handle, and the main window's
// commands: every message number of the server, defined here once. The
// numbers are fixed; they are the same on every platform.
#include <cstdint>

#include "platform/MessageLoop.h"  // platform::kWmTimer

namespace kestrel {

// Numbered messages between the server's threads.
inline constexpr std::uint32_t WM_TRAY_NOTIFY = 1025;  // wparam = icon id, lparam = mouse message
inline constexpr std::uint32_t WM_SOCKET_NEW_CONNECTION = 33823;
inline constexpr std::uint32_t WM_LOG_SHOW = 42768;
inline constexpr std::uint32_t WM_LOG_READY = 42769;
inline constexpr std::uint32_t WM_LOG_RECORD = 42770;
inline constexpr std::uint32_t WM_CLIENT_CLOSED = 42771;
inline constexpr std::uint32_t WM_THREAD_TERMINATED = 42772;
inline constexpr std::uint32_t WM_SCAN_PROJECT = 42774;     // ScanProjectRecord
inline constexpr std::uint32_t WM_REMOTE_PASSWORD = 42775;  // new remote tool password
inline constexpr std::uint32_t WM_USER_PASSWORD = 42776;    // new user password
inline constexpr std::uint32_t WM_LOG_CLOSE = 42777;
inline constexpr std::uint32_t WM_REMOTE_DOCUMENT = 42778;  // uploaded document, by path
inline constexpr std::uint32_t WM_ERROR_LINE = 42790;  // the logging window showed an Error line

// Standard window messages.
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;            // wparam = command id
inline constexpr std::uint32_t WM_SYSCOMMAND = 0x0112;         // wparam = system command
inline constexpr std::uint32_t WM_TIMER = platform::kWmTimer;  // wparam = timer id
inline constexpr std::uint32_t SC_MINIMIZE = 0xF020;

// The notification-area icon: its id and the mouse messages of WM_TRAY_NOTIFY.
inline constexpr std::intptr_t kTrayIconId = 1;
inline constexpr std::intptr_t WM_LBUTTONDOWN = 0x0201;
inline constexpr std::intptr_t WM_LBUTTONDBLCLK = 0x0203;

// Main window commands (tray menu).
inline constexpr std::uint32_t ID_SHOW_LOGGING = 32773;
inline constexpr std::uint32_t ID_RESTART_SERVER = 32774;
inline constexpr std::uint32_t ID_SHUTDOWN_SERVER = 32772;

}  // namespace kestrel
