#pragma once
// TCP sockets with Windows Sockets error numbers, so the fixed socket texts
// can be shown for errno values.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::platform {

// Windows Sockets error numbers we map errno values to (0 is success).
namespace wsa {
inline constexpr int kEINTR = 10004, kEBADF = 10009, kEACCES = 10013, kEFAULT = 10014,
                     kEINVAL = 10022, kEMFILE = 10024, kEWOULDBLOCK = 10035, kEINPROGRESS = 10036,
                     kEALREADY = 10037, kENOTSOCK = 10038, kEDESTADDRREQ = 10039, kEMSGSIZE = 10040,
                     kEPROTOTYPE = 10041, kENOPROTOOPT = 10042, kEPROTONOSUPPORT = 10043,
                     kESOCKTNOSUPPORT = 10044, kEOPNOTSUPP = 10045, kEPFNOSUPPORT = 10046,
                     kEAFNOSUPPORT = 10047, kEADDRINUSE = 10048, kEADDRNOTAVAIL = 10049,
                     kENETDOWN = 10050, kENETUNREACH = 10051, kENETRESET = 10052,
                     kECONNABORTED = 10053, kECONNRESET = 10054, kENOBUFS = 10055, kEISCONN = 10056,
                     kENOTCONN = 10057, kESHUTDOWN = 10058, kETIMEDOUT = 10060,
                     kECONNREFUSED = 10061, kEHOSTDOWN = 10064, kEHOSTUNREACH = 10065,
                     kNOTINITIALISED = 10093, kHOST_NOT_FOUND = 11001;
}  // namespace wsa

// Maps an errno value to its Windows Sockets number; 0 stays 0, an errno
// without a counterpart maps to 10000 + errno.
int WsaFromErrno(int err);

// True for a numeric IPv4 or IPv6 address ("127.0.0.1", "::1", "[::1]").
bool IsNumericAddress(std::string_view text);

// One TCP socket descriptor; closed on destruction. Movable, not copyable.
class TcpSocket {
 public:
  TcpSocket() = default;
  explicit TcpSocket(int fd) : fd_(fd) {}
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Listens on address (numeric IPv4 or IPv6, brackets allowed; empty: every
  // local address, IPv4 and IPv6 through one dual-stack socket, or IPv4 only
  // where the machine has no IPv6), with SO_REUSEADDR. Returns a WSA number;
  // wsa::kEADDRNOTAVAIL for an address text that is not numeric.
  [[nodiscard]] int Listen(std::uint16_t port, int backlog, std::string_view address = {});
  // Blocking accept; returns a WSA number (wsa::kEINVAL etc. once shut down).
  [[nodiscard]] int Accept(TcpSocket& out);
  // Connects to host:port (a name, IPv4 dotted or IPv6, brackets allowed),
  // trying each address the name resolves to in turn. Returns a WSA number.
  // local_address: a numeric source address to connect from (empty: any).
  int Connect(const std::string& host, std::uint16_t port,
              std::chrono::milliseconds timeout = std::chrono::seconds(10),
              std::string_view local_address = {});

  struct ReadResult {
    std::size_t bytes = 0;  // 0 with error 0: nothing there right now
    int error = 0;          // WSA number; closed by peer is reported as closed = true
    bool closed = false;    // orderly end of stream
  };
  // Non-blocking read of at most buffer.size() bytes.
  [[nodiscard]] ReadResult ReadSome(std::span<std::uint8_t> buffer);
  // Blocking read waiting at most timeout for the first byte.
  [[nodiscard]] ReadResult ReadWait(std::span<std::uint8_t> buffer,
                                    std::chrono::milliseconds timeout);
  // Sends all bytes in one call where the kernel takes them; blocks at most the
  // send time-out. Returns a WSA number.
  [[nodiscard]] int SendAll(std::span<const std::uint8_t> data);
  [[nodiscard]] int SetSendTimeout(std::chrono::milliseconds timeout);
  [[nodiscard]] int SetNoDelay(bool on);

  // Peer's address in its usual form (dotted IPv4, also for IPv4-mapped IPv6
  // peers; IPv6 as inet_ntop writes it) and its port; empty/0 when unknown.
  std::string PeerAddress() const;
  std::uint16_t PeerPort() const;
  std::uint16_t LocalPort() const;

  void Shutdown();  // both directions; wakes a blocked Accept/read
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  // Atomic so that Shutdown/Close from another thread may wake a blocked Accept.
  std::atomic<int> fd_{-1};
};

}  // namespace kestrel::platform
