#pragma once
// The numbered window messages that carry work between the server's threads.
// The numbers are fixed; they are the same on every platform.
#include <cstdint>

namespace kestrel {

inline constexpr std::uint32_t WM_TRAY_NOTIFY = 1025;
inline constexpr std::uint32_t WM_SOCKET_RECEIVE = 33818;
inline constexpr std::uint32_t WM_SOCKET_ACCEPT = 33819;
inline constexpr std::uint32_t WM_SOCKET_PEER_CLOSE = 33820;
inline constexpr std::uint32_t WM_SOCKET_CLOSE = 33821;
inline constexpr std::uint32_t WM_SOCKET_SEND = 33822;
inline constexpr std::uint32_t WM_SOCKET_NEW_CONNECTION = 33823;
inline constexpr std::uint32_t WM_LOG_SHOW = 42768;
inline constexpr std::uint32_t WM_LOG_READY = 42769;
inline constexpr std::uint32_t WM_LOG_RECORD = 42770;
inline constexpr std::uint32_t WM_CLIENT_CLOSED = 42771;
inline constexpr std::uint32_t WM_THREAD_TERMINATED = 42772;
inline constexpr std::uint32_t WM_SCAN_PROJECT = 42774;
inline constexpr std::uint32_t WM_REMOTE_PASSWORD = 42775;     // new remote tool password
inline constexpr std::uint32_t WM_USER_PASSWORD = 42776;       // new user password
inline constexpr std::uint32_t WM_LOG_CLOSE = 42777;
inline constexpr std::uint32_t WM_REMOTE_DOCUMENT = 42778;     // uploaded document, by path
inline constexpr std::uint32_t WM_ERROR_LINE = 42790;          // the logging window showed an Error line

// Main window commands (tray menu and system menu).
inline constexpr std::uint32_t ID_SHOW_LOGGING = 32773;
inline constexpr std::uint32_t ID_RESTART_SERVER = 32774;
inline constexpr std::uint32_t ID_SHUTDOWN_SERVER = 32772;
inline constexpr std::uint32_t IDM_ABOUTBOX = 16;

}  // namespace kestrel

namespace kestrel {

// Standard window messages the main window handles.
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;     // wparam = command id
inline constexpr std::uint32_t WM_SYSCOMMAND = 0x0112;  // wparam = system command
inline constexpr std::uint32_t WM_TIMER = 0x0113;       // wparam = timer id
inline constexpr std::uint32_t SC_MINIMIZE = 0xF020;

}  // namespace kestrel
