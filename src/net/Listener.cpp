#include "net/Listener.h"

#include <chrono>

#include "support/WindowMessages.h"

namespace kestrel {

Listener::Listener() : closing_event_(platform::Event::Mode::kManualReset) {}

Listener::~Listener() {
  Close();
}

bool Listener::Listen(platform::MessageLoop* owner, std::uint16_t port) {
  if (listening_) return true;
  platform::TcpSocket socket;
  int error = socket.Listen(port, kBacklog);
  if (error != 0) {
    last_error_ = error;
    ReportSocketError(error, show_errors_);
    return false;
  }
  socket_ = std::move(socket);
  owner_ = owner;
  closing_.store(false);
  closing_event_.Reset();
  accepted_.store(0, std::memory_order_relaxed);
  if (!accept_thread_.Start([this] { AcceptLoop(); })) {
    socket_.Close();
    last_error_ = platform::wsa::kEMFILE;
    ReportSocketError(last_error_, show_errors_);
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
    accepted_.fetch_add(1, std::memory_order_relaxed);
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
