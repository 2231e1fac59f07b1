#pragma once
// One accepted client connection. Frames go out whole in a single send call
// (header, payload, check byte and bulk block together, Nagle off), reads
// never block, and every failure is kept as an error code with a fixed
// English text that is shown in a message box while show errors is on.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/Socket.h"

namespace kestrel {

// The wrapper's own error codes; larger codes are Windows Sockets numbers.
inline constexpr int kSocketErrorCannotConnect = 0;
inline constexpr int kSocketErrorNotInitialised = 1;
inline constexpr int kSocketErrorNotConnectedToClient = 2;
inline constexpr int kSocketErrorNotConnectedToServer = 3;
inline constexpr int kSocketErrorNotAccepted = 4;

// The fixed text for an error code ("An unknow error occured" for codes
// outside the table).
const char* SocketErrorText(int code);
// The message box text: the error text followed by " !".
std::string SocketErrorMessage(int code);
// Shows SocketErrorMessage(code) through platform::MessageBoxes() when
// show_errors is on; does nothing otherwise.
void ReportSocketError(int code, bool show_errors);

// Owned by the listener until the hand-off, then by its connection slot.
// Used by one thread at a time: the slot thread while the slot serves it,
// the main thread before the hand-off and after the slot thread was joined.
class CSocketClass {
 public:
  static constexpr std::chrono::milliseconds kSendTimeout{30000};

  // Takes an accepted socket: Nagle off, a bounded send time-out, show
  // errors off; the peer's address and port are kept for log lines, so they
  // stay readable after Close.
  explicit CSocketClass(platform::TcpSocket socket);
  ~CSocketClass();
  CSocketClass(const CSocketClass&) = delete;
  CSocketClass& operator=(const CSocketClass&) = delete;

  struct ReceiveResult {
    std::size_t bytes = 0;  // bytes read into the buffer
    bool closed = false;    // the peer ended the connection (or it broke): no more data
  };
  // Reads at most buffer.size() bytes without waiting.
  // Nothing to read yet gives 0 bytes silently.
  [[nodiscard]] ReceiveResult Receive(std::span<std::uint8_t> buffer);

  // Sends the whole frame with one send call; true when it went out. Waits
  // at most kSendTimeout for a peer that does not read. Not retried.
  [[nodiscard]] bool Send(const std::uint8_t* data, std::size_t length);
  [[nodiscard]] bool Send(std::span<const std::uint8_t> frame) {
    return Send(frame.data(), frame.size());
  }

  // "%d.%d.%d.%d" of the peer, and its port.
  const std::string& GetPeerAddress() const { return peer_address_; }
  const std::string& PeerAddress() const { return peer_address_; }
  int PeerPort() const { return peer_port_; }

  // Shuts the connection down in both directions and closes the handle.
  void Close();
  bool IsOpen() const { return socket_.IsOpen(); }
  // Readable when data or the peer's close is waiting; -1 once closed.
  int fd() const { return socket_.fd(); }

  int last_error() const { return last_error_; }
  bool show_errors() const { return show_errors_; }
  void set_show_errors(bool on) { show_errors_ = on; }
  // Shows the text of the last error while show errors is on.
  void ReportSocketError() const;

 private:
  void Fail(int code);

  platform::TcpSocket socket_;
  std::string peer_address_;
  int peer_port_ = 0;
  int last_error_ = 0;
  bool show_errors_ = false;
};

}  // namespace kestrel
