#include "session/SessionHarness.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <fstream>
#include <iterator>
#include <random>

#include "logging/LogFiles.h"
#include "logging/LogRecord.h"
#include "net/Frame.h"
#include "platform/FileSystem.h"
#include "session/AllocationCounter.h"
#include "support/Md5.h"
#include "support/WindowMessages.h"

namespace kestrel::test {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string ReadFileBytes(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& native_path, const std::string& bytes) {
  std::ofstream out(native_path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

// --- WindowCapture ---------------------------------------------------------

WindowCapture::WindowCapture(platform::Clock& clock) : loop_(clock) {
  loop_.SetHandler([this](platform::Message& m) -> std::intptr_t {
    std::lock_guard<std::mutex> lock(mu_);
    posted_.push_back(
        {m.id, m.wparam, std::shared_ptr<platform::MessageRecord>(m.record.release())});
    return 0;
  });
  thread_ = std::thread([this] { loop_.Run(); });
}

WindowCapture::~WindowCapture() {
  loop_.Quit();
  thread_.join();
}

std::vector<WindowCapture::Posted> WindowCapture::Messages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return posted_;
}

int WindowCapture::Count(std::uint32_t id) const {
  int n = 0;
  for (const Posted& p : Messages()) n += p.id == id ? 1 : 0;
  return n;
}

std::vector<std::pair<std::string, int>> WindowCapture::LogLines() const {
  std::vector<std::pair<std::string, int>> lines;
  for (const Posted& p : Messages()) {
    if (p.id != WM_LOG_RECORD) continue;
    if (auto* r = dynamic_cast<LogRecord*>(p.record.get())) lines.emplace_back(r->text, r->level);
  }
  return lines;
}

int WindowCapture::CountLog(const std::string& text, int level) const {
  int n = 0;
  for (const auto& [t, l] : LogLines()) n += (t == text && l == level) ? 1 : 0;
  return n;
}

// --- SessionEnv ------------------------------------------------------------

namespace {

platform::LocalTime StartTime() {
  platform::LocalTime t;
  t.year = 2026;
  t.month = 3;
  t.day = 14;
  t.hour = 9;
  t.minute = 26;
  t.second = 53;
  return t;
}

std::unique_ptr<UserRecord> MakeUser(const std::string& name, const std::string& password,
                                     int index, int project_index) {
  auto user = std::make_unique<UserRecord>();
  user->username = name;
  user->realname = name;
  user->password.Set(PasswordDigest(password));
  user->user_tag = "User" + std::to_string(index);
  user->project_tag = "Project" + std::to_string(project_index);
  user->groups.push_back(GroupNode{"Staff"});
  return user;
}

std::unique_ptr<ProjectRecord> MakeProject(const std::string& name, const std::string& root,
                                           int index) {
  auto project = std::make_unique<ProjectRecord>();
  project->projectname = name;
  project->rootpath = root;
  project->groups.push_back(GroupNode{"Staff"});
  project->section_tag = "Project" + std::to_string(index);
  return project;
}

}  // namespace

SessionEnv::SessionEnv()
    : cwd(dir.path()), clock(StartTime()), log_window(clock), main_window(clock) {
  for (const char* folder :
       {"Config", "Temp", "logs", "Projects", "Projects/Alpha", "Projects/Beta"}) {
    platform::CreateFolder(dir.Sub(folder));
  }
  alpha_root = dir.Sub("Projects/Alpha");
  log.Attach(&log_window.loop());

  config.settings.global_key = kGlobalKey;
  config.settings.activate_remote = true;
  config.settings.password_remote.Set(PasswordDigest(kRemotePassword));
  remote_password.Set(PasswordDigest(kRemotePassword));
  auto alpha = MakeProject("Alpha", alpha_root, 1);
  alpha->users.push_back(MakeUser("anna", "secret", 1, 1));
  alpha->users.push_back(MakeUser("bob", "hunter2", 2, 1));
  auto beta = MakeProject("Beta", dir.Sub("Projects/Beta"), 2);
  beta->users.push_back(MakeUser("carl", "pw3", 1, 2));
  config.projects.push_back(std::move(alpha));
  config.projects.push_back(std::move(beta));

  EXPECT_EQ(listener.Listen(0, 64), 0);
  port_ = listener.LocalPort();
}

SessionEnv::~SessionEnv() {
  log.Detach();
}

SessionContext SessionEnv::Context() {
  SessionContext v;
  v.main_window = &main_window.loop();
  v.log = &log;
  v.config = &config;
  v.clock = &clock;
  v.shutdown = &shutdown;
  v.global_key = global_key;
  v.remote_access_on = remote_access_on;
  v.remote_password = &remote_password;
  v.log_user_activity = log_user_activity;
  return v;
}

std::string SessionEnv::AlphaFile(const std::string& relative) const {
  return alpha_root + "/" + relative;
}

bool SessionEnv::WaitForLog(const std::string& text, int level, int count) {
  return WaitUntil([&] { return log_window.CountLog(text, level) >= count; });
}

std::string SessionEnv::UserLog() const {
  return ReadFileBytes(platform::NativePath(UserLogFileName(clock.Local())));
}

// --- ServedConnection ------------------------------------------------------

ServedConnection::ServedConnection(SessionEnv& env, int thread_number, int peer_fd)
    : env_(env), thread_number_(thread_number), handler_(env.Context()), peer_fd_(peer_fd) {
  handler_.SetLoginObserver([this](bool authenticated) {
    int readable = 0;
    if (peer_fd_ >= 0) ::ioctl(peer_fd_, FIONREAD, &readable);
    std::lock_guard<std::mutex> lock(mu_);
    login_notices_.emplace_back(authenticated, readable);
  });
  platform::TcpSocket accepted;
  EXPECT_EQ(env.listener.Accept(accepted), 0);
  socket_ = std::make_unique<CSocketClass>(std::move(accepted));
  thread_ = std::thread([this] { Serve(); });
}

ServedConnection::~ServedConnection() {
  stop_ = true;
  thread_.join();
}

void ServedConnection::Serve() {
  handler_.OnConnection(socket_.get(), thread_number_);
  std::uint8_t buffer[kReceiveBufferSize];
  while (!stop_) {
    pollfd p{socket_->fd(), POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    const CSocketClass::ReceiveResult got = socket_->Receive(buffer);
    if (got.bytes > 0) {
      ++reads_;
      const long before = ThreadAllocations();
      handler_.OnReceive(buffer, got.bytes);
      const long made = ThreadAllocations() - before;
      {
        std::lock_guard<std::mutex> lock(mu_);
        allocations_.emplace_back(got.bytes > 2 ? buffer[2] : 0, made);
      }
    }
    if (got.closed) break;
  }
  handler_.OnConnectionEnd();
  socket_->Close();
  ended_ = true;
}

std::vector<std::pair<int, long>> ServedConnection::ReadAllocations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return allocations_;
}

std::vector<std::pair<bool, int>> ServedConnection::LoginNotices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return login_notices_;
}

bool ServedConnection::WaitEnded() {
  return WaitUntil([this] { return ended_.load(); });
}

// --- Peer ------------------------------------------------------------------

Peer::Peer(SessionEnv& env, int thread_number) {
  EXPECT_TRUE(connection.Connect("127.0.0.1", env.port()));
  served = std::make_unique<ServedConnection>(env, thread_number);
  session = std::make_unique<client::ClientSession>(connection, env.global_key);
}

bool Peer::LoginAnna() {
  return session->RequestSessionKey() && session->Login("anna", "secret", "Alpha");
}

// --- RawPeer ---------------------------------------------------------------

RawPeer::RawPeer(SessionEnv& env, int thread_number) : sealer_(unused_, SessionEnv::kGlobalKey) {
  EXPECT_EQ(socket.Connect("127.0.0.1", env.port()), 0);
  socket.SetNoDelay(true);
  served = std::make_unique<ServedConnection>(env, thread_number, socket.fd());
}

bool RawPeer::Send(const Bytes& bytes) {
  return socket.SendAll(bytes) == 0;
}

Bytes RawPeer::Read(std::size_t count, std::chrono::milliseconds timeout) {
  Bytes out;
  std::uint8_t buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const auto got = socket.ReadWait(buffer, left);
    if (got.error != 0 || got.closed) break;
    out.insert(out.end(), buffer, buffer + got.bytes);
  }
  // Anything beyond the expected reply that is already on its way.
  const auto extra = socket.ReadWait(buffer, std::chrono::milliseconds(20));
  out.insert(out.end(), buffer, buffer + extra.bytes);
  return out;
}

Bytes RawPeer::Exchange(const Bytes& frame, std::size_t reply_size) {
  if (!Send(frame)) return {};
  return Read(reply_size);
}

bool RawPeer::Silent(std::chrono::milliseconds window) {
  std::uint8_t buffer[64];
  const auto got = socket.ReadWait(buffer, window);
  return got.bytes == 0;
}

bool RawPeer::ExchangeKey(const std::string& global_key) {
  std::uint8_t client_value[16];
  for (int i = 0; i < 16; ++i) client_value[i] = static_cast<std::uint8_t>(0x30 + i * 7);
  const std::string bootstrap = BootstrapKey(global_key);
  CRijndael cipher;
  cipher.MakeKey(reinterpret_cast<const std::uint8_t*>(bootstrap.data()));
  std::uint8_t sealed[16];
  cipher.EncryptBlock(client_value, sealed);
  const Bytes reply = Exchange(ClientFrame(0x10, Bytes(sealed, sealed + 16)), 21);
  if (reply.size() != 21 || reply != ServerFrame(0x10, Bytes(reply.begin() + 4, reply.end() - 1))) {
    return false;
  }
  cipher.MakeKey(client_value);
  cipher.DecryptBlock(reply.data() + 4, key);
  sealer_.set_session_key(key);
  return true;
}

Bytes RawPeer::Seal(std::initializer_list<std::string_view> strings, const Bytes& fixed,
                    std::string_view trailing) {
  return sealer_.SealRecord(strings, fixed, trailing);
}

// --- frames ----------------------------------------------------------------

Bytes ClientFrame(std::uint8_t type, const Bytes& payload) {
  Bytes out(kMaxFrameSize);
  out.resize(BuildRequest(static_cast<PacketType>(type), payload, out));
  return out;
}

Bytes ServerFrame(std::uint8_t type, const Bytes& payload) {
  Bytes out(kMaxFrameSize);
  out.resize(BuildReply(static_cast<PacketType>(type), payload, out));
  return out;
}

}  // namespace kestrel::test
