// latency_proxy: a TCP forwarder for measurements on one machine. Every
// connection accepted on the listening port is connected to the target, and
// each direction is delayed by half the configured round trip: bytes read at
// time t are written on at t + delay. There is no bandwidth cap (only a bound
// on the bytes held in flight per direction, far above what the delays need).
//
//   latency_proxy LISTEN_PORT TARGET_HOST TARGET_PORT RTT_MS
//
// Prints "listening on 127.0.0.1:PORT" once it accepts (LISTEN_PORT 0 picks a
// free port) and runs until killed.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kMaxInFlight = 512u << 20;

struct Chunk {
  Clock::time_point due;
  std::vector<char> bytes;  // empty: the sender closed its side
};

// One direction: a reader thread queues what arrives, a writer thread sends it
// on when it is due.
class Pump {
 public:
  Pump(int from, int to, Clock::duration delay) : from_(from), to_(to), delay_(delay) {}

  void Run() {
    std::thread writer([this] { Write(); });
    Read();
    writer.join();
  }

 private:
  void Read() {
    // Each read lands in one buffer and is queued at its own size: a sender
    // of many small writes must not cost a large buffer per write.
    std::vector<char> buffer(kReadSize);
    for (;;) {
      const ssize_t got = ::read(from_, buffer.data(), buffer.size());
      Chunk chunk;
      chunk.due = Clock::now() + delay_;
      chunk.bytes.assign(buffer.data(), buffer.data() + (got > 0 ? got : 0));
      std::unique_lock<std::mutex> lock(mu_);
      room_.wait(lock, [this] { return in_flight_ < kMaxInFlight || failed_; });
      if (failed_) return;
      in_flight_ += chunk.bytes.size();
      const bool end = chunk.bytes.empty();
      queue_.push_back(std::move(chunk));
      ready_.notify_one();
      if (end) return;
    }
  }

  void Write() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ready_.wait(lock, [this] { return !queue_.empty(); });
        const Clock::time_point due = queue_.front().due;
        // Nothing queued later can be due earlier: wait for the front only.
        lock.unlock();
        std::this_thread::sleep_until(due);
        lock.lock();
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      if (chunk.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      if (!SendAll(chunk.bytes)) {
        std::lock_guard<std::mutex> lock(mu_);
        failed_ = true;
        room_.notify_all();
        ::shutdown(from_, SHUT_RD);
        return;
      }
      std::lock_guard<std::mutex> lock(mu_);
      in_flight_ -= chunk.bytes.size();
      room_.notify_all();
    }
  }

  bool SendAll(const std::vector<char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t put = ::send(to_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (put <= 0) return false;
      done += static_cast<std::size_t>(put);
    }
    return true;
  }

  const int from_;
  const int to_;
  const Clock::duration delay_;
  std::mutex mu_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<Chunk> queue_;    // guarded by mu_
  std::size_t in_flight_ = 0;  // guarded by mu_
  bool failed_ = false;        // guarded by mu_
};

int ConnectTo(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

void NoDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void Serve(int client, const std::string& host, const std::string& port, Clock::duration delay) {
  const int server = ConnectTo(host, port);
  if (server < 0) {
    ::close(client);
    return;
  }
  NoDelay(client);
  NoDelay(server);
  Pump up(client, server, delay);
  Pump down(server, client, delay);
  std::thread down_thread([&down] { down.Run(); });
  up.Run();
  down_thread.join();
  ::close(client);
  ::close(server);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_HOST TARGET_PORT RTT_MS\n", argv[0]);
    return 2;
  }
  const int listen_port = std::atoi(argv[1]);
  const std::string host = argv[2];
  const std::string port = argv[3];
  const auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(std::atof(argv[4]) / 2.0));

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(listen_port));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0) {
    std::perror("latency_proxy: listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    // The tool runs until it is killed; each connection's thread ends with it.
    std::thread(Serve, client, host, port, delay).detach();
  }
}
