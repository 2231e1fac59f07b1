#include "net/Listener.h"

#include <chrono>

#include "platform/MessageBox.h"
#include "support/WindowMessages.h"

namespace kestrel {

std::string ListenEndpointText(std::string_view address, int port) {
  std::string text;
  if (address.empty()) {
    text = "*";
  } else if (address.find(':') != std::string_view::npos && address.front() != '[') {
    text = "[" + std::string(address) + "]";
  } else {
    text = address;
  }
  return text + ":" + std::to_string(port);
}

std::string ListenFailureText(int error, std::string_view address, int port) {
  return SocketErrorMessage(error) + " (" + ListenEndpointText(address, port) + ")";
}

Listener::Listener() : closing_event_(platform::Event::Mode::kManualReset) {}

Listener::~Listener() {
  Close();
}

void Listener::Fail(int error, std::string_view address, std::uint16_t port) {
  last_error_ = error;
  if (show_errors_) {
    platform::MessageBoxes().Show(ListenFailureText(error, address, port));
  }
}

bool Listener::Listen(platform::MessageLoop* owner, std::uint16_t port, std::string_view address) {
  if (listening_) return true;
  platform::TcpSocket socket;
  int error = socket.Listen(port, kBacklog, address);
  if (error != 0) {
    Fail(error, address, port);
    return false;
  }
  socket_ = std::move(socket);
  owner_ = owner;
  closing_.store(false);
  closing_event_.Reset();
  if (!accept_thread_.Start([this] { AcceptLoop(); })) {
    socket_.Close();
    Fail(platform::wsa::kEMFILE, address, port);
    return false;
  }
  listening_ = true;
  show_errors_ = false;
  return true;
}

void Listener::Close() {
  if (accept_thread_.Joinable()) {
    closing_.store(true);
    closing_event_.Set();
    socket_.Shutdown();  // wakes the blocked accept
    accept_thread_.Join();
  }
  socket_.Close();
  listening_ = false;
}

void Listener::AcceptLoop() {
  while (!closing_.load()) {
    platform::TcpSocket peer;
    int error = socket_.Accept(peer);
    if (closing_.load()) return;
    if (error != 0) {
      // Out of descriptors or an aborted handshake: back off briefly instead of
      // spinning, and keep accepting.
      platform::WaitForAny({&closing_event_}, std::chrono::milliseconds(50));
      continue;
    }
    auto connection = std::make_unique<CSocketClass>(std::move(peer));
    if (owner_ == nullptr) continue;  // nobody to serve it: closed right here
    // Posted, not sent: the main thread may be joining this thread in Close,
    // and a queued hand-off must never wait for it.
    platform::Message m;
    m.id = WM_SOCKET_NEW_CONNECTION;
    m.record = std::make_unique<NewConnectionRecord>(std::move(connection));
    owner_->Post(std::move(m));
  }
}

}  // namespace kestrel
