#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

namespace kestrel::platform {
namespace {

using Steady = std::chrono::steady_clock;

int LastWsa() {
  return WsaFromErrno(errno);
}

int SetBlocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return errno;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : errno;
}

// Milliseconds left until deadline, for poll(); never negative.
int MillisLeft(Steady::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for events on fd until deadline; returns the revents (0 on time-out)
// or -1 with errno set.
int PollUntil(int fd, short events, Steady::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int rc = ::poll(&p, 1, MillisLeft(deadline));
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool SocketAddress(int fd, bool peer, sockaddr_storage& out) {
  if (fd < 0) return false;
  socklen_t len = sizeof out;
  int rc = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&out), &len)
                : ::getsockname(fd, reinterpret_cast<sockaddr*>(&out), &len);
  return rc == 0 && (out.ss_family == AF_INET || out.ss_family == AF_INET6);
}

std::uint16_t PortOf(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
}

// "[::1]" and "::1" alike: the text between the brackets, if any.
std::string_view WithoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// Resolves host for a stream socket (flags: AI_NUMERICHOST for a listen
// address). The caller frees the list; null when nothing resolves.
addrinfo* Resolve(std::string_view host, int flags) {
  const std::string name(WithoutBrackets(host));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return nullptr;
  return found;
}

void SetPort(sockaddr_storage& addr, std::uint16_t port) {
  if (addr.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(addr).sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in&>(addr).sin_port = htons(port);
  }
}

// The address to listen on: the numeric address, or the IPv6 any address
// (dual stack) when address is empty.
bool ListenAddress(std::string_view address, sockaddr_storage& out, socklen_t& len) {
  out = sockaddr_storage{};
  if (address.empty()) {
    auto& any = reinterpret_cast<sockaddr_in6&>(out);
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    len = sizeof any;
    return true;
  }
  addrinfo* found = Resolve(address, AI_NUMERICHOST | AI_PASSIVE);
  if (found == nullptr) return false;
  std::memcpy(&out, found->ai_addr, found->ai_addrlen);
  len = found->ai_addrlen;
  ::freeaddrinfo(found);
  return true;
}

// A bound, listening socket for addr, or -1 with errno set.
int OpenListener(const sockaddr_storage& addr, socklen_t len, bool dual_stack, int backlog) {
  int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  int v6only = dual_stack ? 0 : 1;
  const bool v6 = addr.ss_family == AF_INET6;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) != 0) ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// One connection attempt to addr until deadline; a blocking socket in fd on
// success. Returns a WSA number.
// local: the source address to bind first (same family), or null.
int ConnectOne(const sockaddr_storage& addr, socklen_t len, const addrinfo* local,
               Steady::time_point deadline, int& fd_out) {
  int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return LastWsa();
  int err = 0;
  if (local != nullptr && ::bind(fd, local->ai_addr, local->ai_addrlen) != 0) {
    err = LastWsa();
  } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    if (errno != EINPROGRESS) {
      err = LastWsa();
    } else {
      int revents = PollUntil(fd, POLLOUT, deadline);
      if (revents < 0) {
        err = LastWsa();
      } else if (revents == 0) {
        err = wsa::kETIMEDOUT;
      } else {
        int so_error = 0;
        socklen_t so_len = sizeof so_error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &so_len) != 0) so_error = errno;
        err = WsaFromErrno(so_error);
      }
    }
  }
  if (err == 0) err = WsaFromErrno(SetBlocking(fd, true));
  if (err != 0) {
    ::close(fd);
    return err;
  }
  fd_out = fd;
  return 0;
}

}  // namespace

int WsaFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return wsa::kEINTR;
    case EBADF:
      return wsa::kEBADF;
    case EACCES:
      return wsa::kEACCES;
    case EPERM:
      return wsa::kEACCES;
    case EFAULT:
      return wsa::kEFAULT;
    case EINVAL:
      return wsa::kEINVAL;
    case EMFILE:
      return wsa::kEMFILE;
    case ENFILE:
      return wsa::kEMFILE;
    case EWOULDBLOCK:
      return wsa::kEWOULDBLOCK;  // same value as EAGAIN here
    case EINPROGRESS:
      return wsa::kEINPROGRESS;
    case EALREADY:
      return wsa::kEALREADY;
    case ENOTSOCK:
      return wsa::kENOTSOCK;
    case EDESTADDRREQ:
      return wsa::kEDESTADDRREQ;
    case EMSGSIZE:
      return wsa::kEMSGSIZE;
    case EPROTOTYPE:
      return wsa::kEPROTOTYPE;
    case ENOPROTOOPT:
      return wsa::kENOPROTOOPT;
    case EPROTONOSUPPORT:
      return wsa::kEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return wsa::kESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return wsa::kEOPNOTSUPP;  // also ENOTSUP
    case EPFNOSUPPORT:
      return wsa::kEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return wsa::kEAFNOSUPPORT;
    case EADDRINUSE:
      return wsa::kEADDRINUSE;
    case EADDRNOTAVAIL:
      return wsa::kEADDRNOTAVAIL;
    case ENETDOWN:
      return wsa::kENETDOWN;
    case ENETUNREACH:
      return wsa::kENETUNREACH;
    case ENETRESET:
      return wsa::kENETRESET;
    case ECONNABORTED:
      return wsa::kECONNABORTED;
    case ECONNRESET:
      return wsa::kECONNRESET;
    case ENOBUFS:
      return wsa::kENOBUFS;
    case ENOMEM:
      return wsa::kENOBUFS;
    case EISCONN:
      return wsa::kEISCONN;
    case ENOTCONN:
      return wsa::kENOTCONN;
    case ESHUTDOWN:
      return wsa::kESHUTDOWN;
    case EPIPE:
      return wsa::kESHUTDOWN;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return wsa::kETIMEDOUT;
    case ECONNREFUSED:
      return wsa::kECONNREFUSED;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return wsa::kEHOSTDOWN;
    case EHOSTUNREACH:
      return wsa::kEHOSTUNREACH;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return 10000 + err;
  }
}

bool IsNumericAddress(std::string_view text) {
  const std::string bare(WithoutBrackets(text));
  in_addr v4{};
  in6_addr v6{};
  return ::inet_pton(AF_INET, bare.c_str(), &v4) == 1 ||
         ::inet_pton(AF_INET6, bare.c_str(), &v6) == 1;
}

TcpSocket::~TcpSocket() {
  Close();
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_.exchange(-1)) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_.store(other.fd_.exchange(-1));
  }
  return *this;
}

int TcpSocket::Listen(std::uint16_t port, int backlog, std::string_view address) {
  Close();
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (!ListenAddress(address, addr, len)) return wsa::kEADDRNOTAVAIL;
  SetPort(addr, port);
  int fd = OpenListener(addr, len, address.empty(), backlog);
  if (fd < 0 && address.empty() && errno == EAFNOSUPPORT) {
    // A machine without IPv6: every IPv4 address.
    auto& v4 = reinterpret_cast<sockaddr_in&>(addr);
    addr = sockaddr_storage{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    v4.sin_port = htons(port);
    fd = OpenListener(addr, sizeof v4, false, backlog);
  }
  if (fd < 0) return LastWsa();
  fd_.store(fd);
  return 0;
}

int TcpSocket::Accept(TcpSocket& out) {
  for (;;) {
    int fd = fd_.load();
    if (fd < 0) return wsa::kENOTSOCK;
    int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
      out = TcpSocket(client);
      return 0;
    }
    // A connection that was reset while queued is not worth a failure.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return LastWsa();
  }
}

int TcpSocket::Connect(const std::string& host, std::uint16_t port,
                       std::chrono::milliseconds timeout, std::string_view local_address) {
  Close();
  const Steady::time_point deadline = Steady::now() + timeout;
  addrinfo* local = nullptr;
  if (!local_address.empty()) {
    local = Resolve(local_address, AI_NUMERICHOST | AI_PASSIVE);
    if (local == nullptr) return wsa::kEADDRNOTAVAIL;
  }
  addrinfo* found = Resolve(host, 0);
  if (found == nullptr) {
    if (local != nullptr) ::freeaddrinfo(local);
    return wsa::kHOST_NOT_FOUND;
  }
  int err = wsa::kHOST_NOT_FOUND;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (local != nullptr && local->ai_family != a->ai_family) continue;
    sockaddr_storage addr{};
    std::memcpy(&addr, a->ai_addr, a->ai_addrlen);
    SetPort(addr, port);
    int fd = -1;
    err = ConnectOne(addr, a->ai_addrlen, local, deadline, fd);
    if (err == 0) {
      fd_.store(fd);
      break;
    }
  }
  ::freeaddrinfo(found);
  if (local != nullptr) ::freeaddrinfo(local);
  return err;
}

TcpSocket::ReadResult TcpSocket::ReadSome(std::span<std::uint8_t> buffer) {
  ReadResult result;
  int fd = fd_.load();
  if (fd < 0) {
    result.error = wsa::kENOTSOCK;
    return result;
  }
  if (buffer.empty()) return result;
  for (;;) {
    ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got > 0) {
      result.bytes = static_cast<std::size_t>(got);
    } else if (got == 0) {
      result.closed = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      result.error = LastWsa();
    }
    return result;
  }
}

TcpSocket::ReadResult TcpSocket::ReadWait(std::span<std::uint8_t> buffer,
                                          std::chrono::milliseconds timeout) {
  int fd = fd_.load();
  if (fd >= 0) {
    int revents = PollUntil(fd, POLLIN, Steady::now() + timeout);
    if (revents < 0) {
      ReadResult result;
      result.error = LastWsa();
      return result;
    }
    if (revents == 0) return ReadResult{};  // nothing within the time-out
  }
  return ReadSome(buffer);
}

int TcpSocket::SendAll(std::span<const std::uint8_t> data) {
  int fd = fd_.load();
  if (fd < 0) return wsa::kENOTSOCK;
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t put = ::send(fd, p, left, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR) continue;
      // A blocking send that ran into SO_SNDTIMEO.
      if (errno == EAGAIN || errno == EWOULDBLOCK) return wsa::kETIMEDOUT;
      return LastWsa();
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
  return 0;
}

int TcpSocket::SetSendTimeout(std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  return ::setsockopt(fd_.load(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 ? 0 : LastWsa();
}

int TcpSocket::SetNoDelay(bool on) {
  int value = on ? 1 : 0;
  return ::setsockopt(fd_.load(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0 ? 0
                                                                                       : LastWsa();
}

std::string TcpSocket::PeerAddress() const {
  sockaddr_storage addr{};
  if (!SocketAddress(fd_.load(), true, addr)) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const char* shown = nullptr;
  if (addr.ss_family == AF_INET) {
    shown = ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, text,
                        sizeof text);
  } else {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      // An IPv4 client of the dual-stack listener: its dotted form.
      shown = ::inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    } else {
      shown = ::inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
  }
  return shown != nullptr ? std::string(text) : std::string();
}

std::uint16_t TcpSocket::PeerPort() const {
  sockaddr_storage addr{};
  return SocketAddress(fd_.load(), true, addr) ? PortOf(addr) : 0;
}

std::uint16_t TcpSocket::LocalPort() const {
  sockaddr_storage addr{};
  return SocketAddress(fd_.load(), false, addr) ? PortOf(addr) : 0;
}

void TcpSocket::Shutdown() {
  int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TcpSocket::Close() {
  int fd = fd_.exchange(-1);
  if (fd < 0) return;
  // shutdown() first: close() alone does not wake a thread blocked in accept().
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace kestrel::platform
