// Fuzzes one connection: the bytes a peer sends, read by a real session
// handler from a socket pair exactly as a connection slot reads them (at most
// 1500 bytes per read, each read handed over at once), with the replies read
// and dropped on the peer's side.
//
// Input layout:
//   byte 0  bits 0-1: what the harness does first with correct frames:
//                     0 nothing, 1 key exchange, 2 key exchange and client
//                     login, 3 key exchange and remote tool login;
//           bit 2:    the rest is a list of requests the harness completes
//                     (type, length, plain payload; records and upload blocks
//                     are encrypted with the session key, check bytes set);
//                     clear: the rest is sent as raw bytes;
//           bit 3:    the test clock moves 700 ms per read (unfinished frames
//                     time out);
//   byte 1  cuts the bytes into reads: 0 sends each completed request in
//           one read (raw bytes: reads of 1500), any other value seeds
//           random read sizes of 1 to 1500 bytes.
//
// The project tree the requests reach is scanned once at start (so rights and
// folder access are real) and put back whenever a request changed it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "net/Frame.h"
#include "net/SessionInterface.h"
#include "net/SocketClass.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "projects/ProjectCycle.h"
#include "session/SessionContext.h"
#include "session/SessionHandler.h"
#include "support/Md5.h"
#include "support/Rijndael.h"

namespace kestrel::fuzz {
namespace {

constexpr const char* kGlobalKey = "FuzzGlobalKey77";
constexpr const char* kRemotePassword = "remote-pw";

constexpr int kThreadNumber = 7;

// A message loop on its own thread that drops whatever is posted to it.
class Sink {
 public:
  explicit Sink(platform::Clock& clock) : loop_(clock) {
    loop_.SetHandler([](platform::Message&) -> std::intptr_t { return 0; });
    thread_ = std::thread([this] { loop_.Run(); });
  }
  ~Sink() {
    loop_.Quit();
    thread_.join();
  }
  platform::MessageLoop& loop() { return loop_; }
  // Returns once everything posted so far is handled (and freed), so an
  // input's records never outlive it.
  void Flush() {
    loop_.Invoke([] {});
  }

 private:
  platform::MessageLoop loop_;
  std::thread thread_;
};

std::unique_ptr<UserRecord> MakeUser(const char* name, const char* password, const char* group,
                                     int number) {
  auto user = std::make_unique<UserRecord>();
  user->username = name;
  user->realname = name;
  user->useremail = std::string(name) + "@example.org";
  user->password.Set(PasswordDigest(password));
  user->user_tag = "User" + std::to_string(number);
  user->project_tag = "Project1";
  user->groups.push_back(GroupNode{group});
  return user;
}

// The server's state that sessions borrow: configuration, windows, clock.
struct Server {
  Server()
      : clock(platform::LocalTime{.year = 2026, .month = 3, .day = 14, .hour = 9}),
        log_window(clock),
        main_window(clock) {
    const std::string& work = EnterWorkFolder();
    root = work + "/Projects/Alpha";
    MakeTree();
    log.Attach(&log_window.loop());
    config.settings.global_key = kGlobalKey;
    config.settings.activate_remote = true;
    config.settings.activate_user_privileges = true;
    config.settings.password_remote.Set(PasswordDigest(kRemotePassword));
    remote_password.Set(PasswordDigest(kRemotePassword));
    auto project = std::make_unique<ProjectRecord>();
    project->projectname = "Alpha";
    project->rootpath = root;
    project->section_tag = "Project1";
    project->user_privileges = true;
    project->groups.push_back(GroupNode{"Staff"});
    project->groups.push_back(GroupNode{"Guests"});
    project->users.push_back(MakeUser("anna", "secret", "Staff", 1));
    project->users.push_back(MakeUser("gus", "guest", "Guests", 2));
    config.projects.push_back(std::move(project));
    // Scan results, rights and the folder access table as a running server has them.
    projects::ProjectCycle cycle(*config.projects[0], log, shutdown);
    (void)cycle.RunScan();
    stamp = TreeStamp();
  }
  ~Server() { log.Detach(); }

  void MakeTree() {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root + "/Shared/Deep");
    std::filesystem::create_directories(root + "/Private");
    WriteText(root + "/~RootRights.xml",
              RightsXml({"Staff", "true", "true", "Guests", "true", "false"}));
    WriteText(root + "/~Shared.xml",
              RightsXml({"Staff", "true", "true", "Guests", "true", "true"}));
    WriteText(root + "/Shared/~Deep.xml", RightsXml({"Staff", "true", "false"}));
    WriteText(root + "/~Private.xml", RightsXml({"Staff", "true", "true"}));
    WriteText(root + "/readme.txt", "hello\n");
    WriteText(root + "/Shared/plan.txt", std::string(3000, 'p'));
    WriteText(root + "/Shared/Deep/notes.txt", "deep\n");
    WriteText(root + "/Private/secret.txt", "secret\n");
  }

  // Modification times of the tree's folders: any file placed, replaced or
  // removed, and any folder made, changes one of them.
  std::vector<std::int64_t> TreeStamp() const {
    std::vector<std::int64_t> times;
    for (const char* folder : {"", "/Shared", "/Shared/Deep", "/Private"}) {
      struct stat st {};
      if (::stat((root + folder).c_str(), &st) != 0) {
        times.push_back(-1);
        continue;
      }
      times.push_back(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec);
    }
    return times;
  }

  void RestoreTreeIfChanged() {
    if (TreeStamp() == stamp) return;
    MakeTree();
    stamp = TreeStamp();
  }

  // Without failed-login penalties: every input may guess passwords.
  SessionContext Context() {
    return SessionContext{.main_window = &main_window.loop(),
                          .log = &log,
                          .config = &config,
                          .clock = &clock,
                          .shutdown = &shutdown,
                          .global_key = kGlobalKey,
                          .remote_access_on = true,
                          .remote_password = &remote_password,
                          .log_user_activity = false};  // its file would only grow
  }

  platform::TestClock clock;
  Sink log_window;
  Sink main_window;
  LogChannel log;
  ServerConfig config;
  std::atomic<bool> shutdown{false};
  SharedText remote_password;
  std::string root;
  std::vector<std::int64_t> stamp;
};

Server& TheServer() {
  static Server server;
  return server;
}

using Bytes = std::vector<std::uint8_t>;

bool IsRecordType(std::uint8_t type) {
  switch (type) {
    case 0x11:
    case 0x13:
    case 0x22:
    case 0x23:
    case 0x32:
    case 0x34:
    case 0x40:
    case 0x41:
      return true;
    default:
      return false;
  }
}

// One connection between the harness (the peer) and a session handler.
class Connection {
 public:
  explicit Connection(Server& server) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // Replies of one read never fill the buffer, so a send never waits.
    const int size = 4 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    peer_ = fds[1];
    socket_ = std::make_unique<CSocketClass>(platform::TcpSocket(fds[0]));
    session_ = std::make_unique<CSessionHandler>(server.Context());
    session_->OnConnection(socket_.get(), kThreadNumber);
  }
  ~Connection() {
    session_->OnConnectionEnd();
    session_.reset();
    socket_.reset();
    ::close(peer_);
  }

  // Sends the bytes as one write and hands what the server side reads to the
  // session. Returns the replies.
  Bytes Exchange(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const std::size_t piece = std::min(size, kReceiveBufferSize);
      if (::send(peer_, data, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece)) std::abort();
      std::size_t taken = 0;
      while (taken < piece) {
        std::uint8_t buffer[kReceiveBufferSize];
        const CSocketClass::ReceiveResult got = socket_->Receive(buffer);
        if (got.bytes == 0) std::abort();  // the bytes are there: a read must see them
        taken += got.bytes;
        session_->OnReceive(buffer, got.bytes);
      }
      data += piece;
      size -= piece;
    }
    return Drain();
  }
  Bytes Exchange(const Bytes& bytes) { return Exchange(bytes.data(), bytes.size()); }

  // Key exchange; afterwards records are sealed with the session key.
  bool ExchangeKey(client::ClientSession& sealer) {
    std::uint8_t client_value[16];
    for (int i = 0; i < 16; ++i) client_value[i] = static_cast<std::uint8_t>(0x41 + i * 3);
    const auto sealed = sealer.SealKeyRequest(client_value);
    const Bytes reply = Exchange(Frame(0x10, Bytes(sealed.begin(), sealed.end())));
    return reply.size() == 21 && sealer.OpenKeyReply(client_value, std::span(reply).subspan(4, 16));
  }

  static Bytes Frame(std::uint8_t type, const Bytes& payload, const std::uint8_t* block = nullptr) {
    Bytes out(kMaxBulkFrameSize);
    const auto packet = static_cast<PacketType>(type);
    out.resize(block != nullptr
                   ? BuildBulkRequest(packet, payload, std::span(block, kBulkBlockSize), out)
                   : BuildRequest(packet, payload, out));
    return out;
  }

 private:
  Bytes Drain() {
    Bytes replies;
    std::uint8_t buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return replies;
      replies.insert(replies.end(), buffer, buffer + n);
    }
  }

  int peer_ = -1;
  std::unique_ptr<CSocketClass> socket_;
  std::unique_ptr<ISessionHandler> session_;
};

// Read sizes from a small generator; 0 keeps the natural cut.
class ReadCutter {
 public:
  explicit ReadCutter(std::uint8_t seed) : state_(seed * 2654435761u + 1), natural_(seed == 0) {}
  bool natural() const { return natural_; }
  std::size_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return 1 + state_ % kReceiveBufferSize;
  }

 private:
  std::uint32_t state_;
  bool natural_;
};

// The requests of the input, completed: sealed payloads and check bytes.
std::vector<Bytes> CompleteRequests(const std::uint8_t* data, std::size_t size,
                                    client::ClientSession& sealer) {
  std::vector<Bytes> frames;
  CRijndael cipher;
  cipher.MakeKey(sealer.session_key());
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::uint8_t type = data[at];
    std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
    Bytes payload(data + at + 2, data + at + 2 + length);
    at += 2 + length;
    if (IsRecordType(type) && !payload.empty()) {
      payload.resize(std::min<std::size_t>(payload.size(), kMaxPayload - 15));
      Bytes sealed((payload.size() + 15) / 16 * 16);
      EncryptBuffer(cipher, payload.data(), payload.size(), sealed.data());
      payload = std::move(sealed);
    }
    if (type == 0x33 && payload.size() == kBulkUploadPayload) {
      std::uint8_t plain[kBulkBlockSize] = {};
      const std::size_t block = std::min(kBulkBlockSize, size - at);
      std::memcpy(plain, data + at, block);
      at += block;
      std::uint8_t sealed[kBulkBlockSize];
      EncryptBuffer(cipher, plain, kBulkBlockSize, sealed);
      frames.push_back(Connection::Frame(type, payload, sealed));
    } else {
      frames.push_back(Connection::Frame(type, payload));
    }
  }
  return frames;
}

}  // namespace
}  // namespace kestrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  using namespace kestrel::fuzz;
  if (size < 2) return 0;
  Server& server = TheServer();
  const std::uint8_t mode = data[0];
  ReadCutter cutter(data[1]);
  data += 2;
  size -= 2;
  {
    Connection connection(server);
    client::ClientConnection unused;
    client::ClientSession sealer(unused, kGlobalKey);
    const int start = mode & 3;
    if (start >= 1 && !connection.ExchangeKey(sealer)) std::abort();
    if (start == 2) {
      connection.Exchange(
          Connection::Frame(0x11, sealer.SealRecord({"anna", "secret", "Alpha", "fuzz"}, {},
                                                    "0123456789abcdef0123456789abcdef")));
    } else if (start == 3) {
      connection.Exchange(Connection::Frame(0x13, sealer.SealRecord({kRemotePassword})));
    }

    Bytes stream;
    std::vector<std::size_t> cuts;  // natural read ends
    if ((mode & 4) != 0) {
      for (const Bytes& frame : CompleteRequests(data, size, sealer)) {
        stream.insert(stream.end(), frame.begin(), frame.end());
        cuts.push_back(stream.size());
      }
    } else {
      stream.assign(data, data + size);
      for (std::size_t end = kReceiveBufferSize; end < size; end += kReceiveBufferSize) {
        cuts.push_back(end);
      }
      cuts.push_back(size);
    }
    std::size_t at = 0;
    std::size_t next_cut = 0;
    while (at < stream.size()) {
      std::size_t piece = 0;
      if (cutter.natural()) {
        piece = cuts[next_cut++] - at;
      } else {
        piece = std::min(cutter.Next(), stream.size() - at);
      }
      if ((mode & 8) != 0) server.clock.Advance(std::chrono::milliseconds(700));
      connection.Exchange(stream.data() + at, piece);
      at += piece;
    }
  }
  server.log_window.Flush();
  server.main_window.Flush();
  server.RestoreTreeIfChanged();
  return 0;
}
