// Upload attacks against a running kestrel-server (started by
// upload_attacks.sh): an upload announced as 10 bytes that keeps growing, a
// small archive inflating to 2 GiB, an archive of 20,000 one-byte entries,
// and an honest upload that inflates to 512 MiB. During each, another user
// uploads a 4-byte file again and again on his own connection. Prints per
// attack: the attacker's time, whether anything was placed, the peak size of
// Temp, whether Temp is empty once both connections ended, and the victim's
// slowest upload.
//
// Usage: bench_upload_attacks PORT SERVER_FOLDER SCRATCH_FOLDER
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "platform/FileSystem.h"
#include "support/ZipArchive.h"

namespace {

using namespace kestrel;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kGlobalKey = "bench-attack-key";
constexpr platform::FileTime kTime = 133800000000000000ULL;

std::uint16_t g_port = 0;
std::string g_server;   // the server's working folder
std::string g_scratch;  // archives made here

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Connected {
  client::ClientConnection connection;
  std::unique_ptr<client::ClientSession> session;
};

std::unique_ptr<Connected> LoggedIn(const std::string& user, const std::string& password) {
  auto c = std::make_unique<Connected>();
  if (!c->connection.Connect("127.0.0.1", g_port)) return nullptr;
  c->connection.set_reply_timeout(std::chrono::seconds(600));
  c->session = std::make_unique<client::ClientSession>(c->connection, kGlobalKey);
  if (!c->session->RequestSessionKey() || !c->session->Login(user, password, "Demo"))
    return nullptr;
  return c;
}

std::uint64_t TempBytes() {
  std::uint64_t total = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(g_server + "/Temp", ec)) {
    if (e.is_regular_file(ec)) total += e.file_size(ec);
  }
  return total;
}

std::size_t TempCount() {
  std::error_code ec;
  std::size_t n = 0;
  for (auto it = fs::directory_iterator(g_server + "/Temp", ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    ++n;
  }
  return n;
}

// An archive of entries written by fill(zip) with minizip at the given level.
std::string MakeArchive(const std::string& name, const std::function<void(zipFile)>& fill) {
  const std::string path = g_scratch + "/" + name;
  if (fs::exists(path)) return path;
  zipFile zip = zipOpen64((path + ".tmp").c_str(), APPEND_STATUS_CREATE);
  fill(zip);
  zipClose(zip, nullptr);
  fs::rename(path + ".tmp", path);
  return path;
}

void AddEntry(zipFile zip, const std::string& name, int level, std::uint64_t zeros,
              const std::string& bytes = "") {
  zip_fileinfo info{};
  zipOpenNewFileInZip3_64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                          level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                          zeros >= 0xffffffffull ? 1 : 0);
  const std::vector<char> block(1 << 20, '\0');
  for (std::uint64_t left = zeros; left > 0;) {
    const unsigned n = static_cast<unsigned>(std::min<std::uint64_t>(left, block.size()));
    zipWriteInFileInZip(zip, block.data(), n);
    left -= n;
  }
  if (!bytes.empty()) {
    zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  zipCloseFileInZip(zip);
}

struct Attack {
  std::string title;
  std::string archive;  // sent as it is
  std::int64_t announced = 0;
  std::uint64_t extra_random = 0;  // random archive bytes sent after it
  bool expect_placed = false;
};

// Sends the archive file, then extra random chunks, then the end.
bool SendAttack(client::ClientSession& s, const Attack& a) {
  std::uint8_t fixed[16] = {};
  for (int i = 0; i < 8; ++i) fixed[i] = static_cast<std::uint8_t>(kTime >> (8 * i));
  for (int i = 0; i < 8; ++i) fixed[8 + i] = static_cast<std::uint8_t>(a.announced >> (8 * i));
  if (!s.RequestDownload("RootFolder", "readme.txt")) return false;  // a connection that works
  if (!s.WaitTransferReady()) return false;
  client::ClientConnection& c = s.connection();
  if (!c.Request(PacketType::kUploadRequest, s.SealRecord({"RootFolder", "attack.bin"}, fixed))) {
    return false;
  }
  platform::File in;
  if (in.Open(a.archive, platform::File::kRead) != 0) return false;
  std::uint8_t piece[1280];
  for (;;) {
    const long n = in.Read(piece, sizeof piece);
    if (n <= 0) break;
    if (!s.SendUploadChunk(std::span<const std::uint8_t>(piece, static_cast<std::size_t>(n)))) {
      return false;
    }
  }
  std::mt19937 gen(7);
  for (std::uint64_t sent = 0; sent < a.extra_random; sent += sizeof piece) {
    for (auto& b : piece) b = static_cast<std::uint8_t>(gen());
    if (!s.SendUploadChunk(piece)) return false;
  }
  return s.SendUploadEnd();
}

void Run(const Attack& a) {
  fs::remove(g_server + "/Projects/Demo/attack.bin");
  const std::string victim_archive = g_scratch + "/victim.zip";
  auto attacker = LoggedIn("alice", "wonderland");
  auto victim = LoggedIn("bob", "builder");
  if (!attacker || !victim) {
    std::printf("%s: cannot log in\n", a.title.c_str());
    return;
  }
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> peak{0};
  std::thread monitor([&] {
    while (!done) {
      peak = std::max<std::uint64_t>(peak, TempBytes());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int victim_uploads = 0, victim_failures = 0;
  double victim_slowest = 0;
  std::thread other([&] {
    while (!done) {
      const auto t0 = Clock::now();
      const bool ok =
          victim->session->UploadArchive("RootFolder", "victim.txt", victim_archive, kTime, 4);
      victim_slowest = std::max(victim_slowest, Since(t0));
      ++victim_uploads;
      if (!ok) ++victim_failures;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto t0 = Clock::now();
  const bool acknowledged = SendAttack(*attacker->session, a);
  const double seconds = Since(t0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  done = true;
  other.join();
  monitor.join();
  const bool placed = fs::exists(g_server + "/Projects/Demo/attack.bin");
  attacker->connection.Close();
  victim->connection.Close();
  const auto closed = Clock::now();
  while (TempCount() != 0 && Since(closed) < 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf(
      "%s\n  attacker: %.2f s, %s; placed: %s (expected %s); Temp peak %.1f KiB, "
      "after close %s (%.0f ms)\n  other user's 4-byte uploads meanwhile: %d (%d failed), "
      "slowest %.1f ms\n",
      a.title.c_str(), seconds, acknowledged ? "all acknowledged" : "NOT acknowledged",
      placed ? "yes" : "no", a.expect_placed ? "yes" : "no", peak.load() / 1024.0,
      TempCount() == 0 ? "empty" : "NOT EMPTY", Since(closed) * 1000, victim_uploads,
      victim_failures, victim_slowest * 1000);
  std::fflush(stdout);
  fs::remove(g_server + "/Projects/Demo/attack.bin");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT SERVER_FOLDER SCRATCH_FOLDER\n", argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  g_port = static_cast<std::uint16_t>(std::stoi(argv[1]));
  g_server = argv[2];
  g_scratch = argv[3];
  fs::create_directories(g_scratch);
  MakeArchive("victim.zip", [](zipFile z) { AddEntry(z, "victim.txt", 6, 0, "four"); });

  const auto t0 = Clock::now();
  Attack grow{"1. announced 10 bytes, 32 MiB of archive sent",
              MakeArchive("ten.zip", [](zipFile z) { AddEntry(z, "ten.txt", 6, 0, "0123456789"); }),
              10, 32ull << 20};
  const std::string bomb_path =
      MakeArchive("bomb.zip", [](zipFile z) { AddEntry(z, "zeros.bin", 9, 2ull << 30); });
  Attack bomb{"2. " + std::to_string(fs::file_size(bomb_path) / 1024) +
                  " KiB archive inflating to 2 GiB, announced as its archive size",
              bomb_path, static_cast<std::int64_t>(fs::file_size(bomb_path))};
  const std::string entries_path = MakeArchive("entries.zip", [](zipFile z) {
    for (int i = 0; i < 20000; ++i) AddEntry(z, "e" + std::to_string(i), 6, 0, "x");
  });
  Attack entries{"3. 20,000 one-byte entries, announced as its archive size", entries_path,
                 static_cast<std::int64_t>(fs::file_size(entries_path))};
  Attack honest{
      "4. honest 512 MiB of zeros (a legitimate large extraction)",
      MakeArchive("honest.zip", [](zipFile z) { AddEntry(z, "zeros.bin", 1, 512ull << 20); }),
      512ll << 20, 0, true};
  std::printf("archives made in %.1f s\n", Since(t0));
  for (const Attack* a : {&grow, &bomb, &entries, &honest}) Run(*a);
  return 0;
}
