#include "testsupport/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace kestrel::test {

// A port below the kernel's ephemeral range (32768 and up), which busy
// clients on the same machine take for their connections at any moment; the
// server binds all addresses, so the probe does too.
std::uint16_t FreePort() {
  static std::mt19937 gen(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(pick(gen)));
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) return ntohs(addr.sin_port);
  }
  return 0;
}

bool PortServes(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    // A ping: AA 55 01 02 CC 33 and the XOR of those bytes.
    const unsigned char ping[] = {
        0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0xAA ^ 0x55 ^ 0x01 ^ 0x02 ^ 0xCC ^ 0x33};
    unsigned char reply[7] = {};
    pollfd pfd{fd, POLLIN, 0};
    ok = send(fd, ping, sizeof ping, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof ping) &&
         poll(&pfd, 1, 500) == 1 && recv(fd, reply, sizeof reply, 0) > 0 && reply[0] == 0xCC;
  }
  close(fd);
  return ok;
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WriteFile(const std::string& path, std::string_view content) {
  std::filesystem::path p(path);
  std::error_code ec;
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Logbook(const std::string& folder) {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder + "/logs", ec)) {
    if (e.path().filename().string().starts_with("Server Logbook ")) all += ReadFile(e.path());
  }
  return all;
}

ServerProcess::ServerProcess(std::string binary, std::string folder)
    : binary_(std::move(binary)), folder_(std::move(folder)) {}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string LogbookText(const std::string& folder) {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder + "/logs", ec)) {
    if (e.path().filename().string().rfind("Server Logbook ", 0) == 0) all += ReadFile(e.path());
  }
  return all;
}

namespace {
// argv for execv: the program, then args; the strings stay owned by args.
std::vector<char*> Argv(const std::string& binary, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}
}  // namespace

ProgramRun RunProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::string& cwd, std::string_view stdin_text,
                      std::chrono::milliseconds timeout) {
  ProgramRun run;
  char scratch[] = "/tmp/kestrel-run-XXXXXX";
  if (mkdtemp(scratch) == nullptr) return run;
  const std::string in_path = std::string(scratch) + "/in";
  const std::string out_path = std::string(scratch) + "/out";
  const std::string err_path = std::string(scratch) + "/err";
  WriteFile(in_path, stdin_text);
  std::vector<char*> argv = Argv(binary, args);
  const pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setsid();  // no controlling terminal: a prompt can never wait
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(125);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  const bool done = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    run.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.code = 128 + WTERMSIG(status);
  }
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  std::filesystem::remove_all(scratch);
  return run;
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
  std::vector<char*> argv = Argv(binary_, args);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A test that dies before its destructor runs takes the server with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(folder_.c_str()) != 0) _exit(126);
    int out = open("server.stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("server.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(binary_.c_str(), argv.data());
    _exit(127);
  }
  pid_ = pid;
  return true;
}

bool ServerProcess::WaitListening(std::uint16_t port, std::chrono::milliseconds timeout) {
  // Accepting is not enough: connections that arrive before the slots run are
  // closed at once, so the server is ready when it answers a ping.
  return WaitFor([&] { return PortServes(port); }, timeout);
}

bool ServerProcess::Signal(int signo) {
  return pid_ > 0 && kill(pid_, signo) == 0;
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  int status = 0;
  bool done = WaitFor(
      [&] {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        return r == pid_;
      },
      timeout);
  if (!done) return -1;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ServerProcess::Stdout() const {
  return ReadFile(folder_ + "/server.stdout");
}
std::string ServerProcess::Stderr() const {
  return ReadFile(folder_ + "/server.stderr");
}

}  // namespace kestrel::test
