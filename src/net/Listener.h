#pragma once
// The server's listening socket and its accept thread. Every accepted
// connection becomes a CSocketClass that travels to the main window in a
// WM_SOCKET_NEW_CONNECTION message, owned by the message's record; the main
// window hands it to a connection slot.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/SocketClass.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

namespace kestrel {

// The record of WM_SOCKET_NEW_CONNECTION: the receiver takes the connection;
// a message dropped unhandled closes it.
struct NewConnectionRecord final : platform::MessageRecord {
  explicit NewConnectionRecord(std::unique_ptr<CSocketClass> c) : connection(std::move(c)) {}
  std::unique_ptr<CSocketClass> connection;
};

// The endpoint as log lines show it: "127.0.0.1:50000", "[::1]:50000", and
// "*:50000" for every local address.
std::string ListenEndpointText(std::string_view address, int port);
// What a failed listen shows: the socket error's text with " !", then the
// endpoint in brackets ("The specified address is already in use ! (*:50000)").
std::string ListenFailureText(int error, std::string_view address, int port);

class Listener {
 public:
  static constexpr int kBacklog = 249;

  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Main thread. Listens on address (numeric IPv4 or IPv6; empty: every
  // local address, IPv4 and IPv6) and starts the accept thread; true when
  // listening (at once when already listening). A failure keeps its code in
  // last_error() and, while show errors is on, shows its text with " !"
  // followed by the endpoint ("The specified address is already in use !
  // (*:50000)"); show errors goes off once a listen has succeeded, so later
  // accept failures are silent. owner: borrowed, must outlive Close().
  bool Listen(platform::MessageLoop* owner, std::uint16_t port, std::string_view address = {});
  // Main thread. Stops accepting, joins the accept thread and closes the
  // socket; connections already handed over are not touched.
  void Close();

  bool listening() const { return listening_; }
  // The port actually bound (useful after Listen on port 0).
  std::uint16_t LocalPort() const { return socket_.LocalPort(); }
  int last_error() const { return last_error_; }
  bool show_errors() const { return show_errors_; }
  void set_show_errors(bool on) { show_errors_ = on; }

 private:
  void AcceptLoop();
  void Fail(int error, std::string_view address, std::uint16_t port);

  platform::TcpSocket socket_;              // main thread opens/closes; accept thread accepts
  platform::Thread accept_thread_;          // main thread only
  platform::MessageLoop* owner_ = nullptr;  // set before the accept thread starts
  platform::Event closing_event_;           // wakes the accept thread's back-off wait
  std::atomic<bool> closing_{false};
  bool listening_ = false;   // main thread only
  bool show_errors_ = true;  // main thread only
  int last_error_ = 0;       // main thread only
};

}  // namespace kestrel
