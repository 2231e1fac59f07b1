#include "net/SocketClass.h"

#include <algorithm>

#include "net/Frame.h"
#include "platform/MessageBox.h"

namespace kestrel {

const char* SocketErrorText(int code) {
  switch (code) {
    case 0:
      return "Servers are not able to 'Connect'";
    case 1:
      return "Socket is not initialised";
    case 2:
      return "Not connect to Client";
    case 3:
      return "Not connect to Server";
    case 4:
      return "Client not accepted by Server";
    case 10013:
      return "The requested address is a broadcast address, but the appropriate flag was not set";
    case 10014:
      return "The 'nSockAddrLen' argument is incorrect";
    case 10022:
      return "Invalid Parameter";
    case 10024:
      return "No more file descriptors are available";
    case 10035:
      return "The socket is marked as nonblocking and the connection cannot be completed "
             "immediately";
    case 10036:
      return "A blocking Windows Sockets call is in progress";
    case 10038:
      return "The descriptor is not a socket";
    case 10039:
      return "A destination address is required";
    case 10040:
      return "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum "
             "supported by the Windows Sockets implementation";
    case 10041:
      return "The specified port is the wrong type for this socket";
    case 10043:
      return "The specified port is not supported";
    case 10044:
      return "The specified socket type is not supported in this address family";
    case 10045:
      return "'MSG_OOB' was specified, but the socket is not of type 'SOCK_STREAM'";
    case 10047:
      return "Addresses in the specified family cannot be used with this socket";
    case 10048:
      return "The specified address is already in use";
    case 10049:
      return "The specified address is not available from the local machine";
    case 10050:
      return "The Windows Sockets implementation detected that the network subsystem failed";
    case 10051:
      return "The network cannot be reached from this host at this time";
    case 10052:
      return "The connection must be reset because the Windows Sockets implementation dropped it";
    case 10053:
      return "The virtual circuit was aborted due to timeout or other failure";
    case 10054:
      return "The virtual circuit was reset by the remote side";
    case 10055:
      return "No buffer space is available. The socket cannot be connected";
    case 10056:
      return "The socket is already connected";
    case 10057:
      return "The socket is not connected";
    case 10058:
      return "The socket has been shut down";
    case 10060:
      return "Attempt to connect timed out without establishing a connection";
    case 10061:
      return "The attempt to connect was rejected";
    case 10093:
      return "A successful 'AfxSocketInit' must occur before using this API";
    default:
      return "An unknow error occured";
  }
}

std::string SocketErrorMessage(int code) {
  std::string text = SocketErrorText(code);
  text += " !";
  return text;
}

void ReportSocketError(int code, bool show_errors) {
  if (!show_errors) return;
  platform::MessageBoxes().Show(SocketErrorMessage(code));
}

CSocketClass::CSocketClass(platform::TcpSocket socket) : socket_(std::move(socket)) {
  if (!socket_.IsOpen()) return;
  peer_address_ = socket_.PeerAddress();
  peer_port_ = socket_.PeerPort();
  // Replies are single small frames: never hold them back for coalescing.
  (void)socket_.SetNoDelay(true);
  (void)socket_.SetSendTimeout(kSendTimeout);
}

CSocketClass::~CSocketClass() {
  Close();
}

void CSocketClass::Fail(int code) {
  last_error_ = code;
  ReportSocketError();
}

void CSocketClass::ReportSocketError() const {
  ::kestrel::ReportSocketError(last_error_, show_errors_);
}

CSocketClass::ReceiveResult CSocketClass::Receive(std::span<std::uint8_t> buffer) {
  ReceiveResult result;
  if (!socket_.IsOpen()) {
    Fail(kSocketErrorNotInitialised);
    result.closed = true;
    return result;
  }
  platform::TcpSocket::ReadResult read = socket_.ReadSome(buffer);
  if (read.error == platform::wsa::kEWOULDBLOCK) return result;
  if (read.error != 0) {
    // A broken connection (reset, aborted) never delivers again.
    Fail(read.error);
    result.closed = true;
    return result;
  }
  result.bytes = read.bytes;
  result.closed = read.closed && read.bytes == 0;
  return result;
}

bool CSocketClass::Send(const std::uint8_t* data, std::size_t length) {
  if (!socket_.IsOpen()) {
    Fail(kSocketErrorNotConnectedToClient);
    return false;
  }
  int error = socket_.SendAll(std::span<const std::uint8_t>(data, length));
  if (error != 0) {
    Fail(error);
    return false;
  }
  return true;
}

void CSocketClass::Close() {
  if (!socket_.IsOpen()) return;
  socket_.Shutdown();
  socket_.Close();
}

}  // namespace kestrel
