// Full project cycles (rights pass, scan, writing and comparing every user's
// scan result) over a generated tree of 100,000 files in 2,000 folders, beside
// the time `find` needs to list the same tree with sizes and times.
//
// Each cycle is shown as wall time and as the CPU time the cycle's thread
// used: where the disk takes writes slowly, the one-change cycle's wall time
// is mostly the kernel writing the rewritten documents back (one per set of
// users with the same access; the others share its file).
//
// The tree is generated once under /tmp and reused. Run: bench_scan
// (KESTREL_BENCH_WORK=/dev/shm/x puts the server's working folder, and with
// it the scan results, into memory).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "platform/FileSystem.h"
#include "projects/ProjectCycle.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTreeBase = "/tmp/kestrel-bench-tree";
constexpr const char* kWorkDir = "/tmp/kestrel-bench-work";
constexpr int kTopFolders = 40;
constexpr int kSubFolders = 49;      // per top-level folder: 40 + 40 * 49 = 2,000 folders
constexpr int kFilesPerFolder = 50;  // 100,000 files, 2 of them per folder named "~..."
constexpr int kGroups = 5;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU seconds (user and system) this thread has used.
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void WriteSmallFile(const std::string& path, int size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string data(static_cast<std::size_t>(size), 'x');
  if (::write(fd, data.data(), data.size()) < 0) std::perror("write");
  ::close(fd);
}

std::string RightsXml(int hidden_group, int readonly_group) {
  std::string xml = "<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>\n";
  for (int g = 0; g < kGroups; ++g) {
    std::string tag = "Group" + std::to_string(g + 1);
    xml += "    <" + tag + ">\n        <Groupname>G" + std::to_string(g) +
           "</Groupname>\n        <Visible>" + (g == hidden_group ? "false" : "true") +
           "</Visible>\n        <Write>" + (g == readonly_group ? "false" : "true") +
           "</Write>\n    </" + tag + ">\n";
  }
  return xml + "</UserRights>\n";
}

std::string EnsureTree() {
  const std::string root = std::string(kTreeBase) + "/Root";
  const std::string marker = std::string(kTreeBase) + "/complete";
  if (::access(marker.c_str(), F_OK) == 0) return root;
  std::printf("generating %d files in %d folders under %s ...\n",
              kTopFolders * (1 + kSubFolders) * kFilesPerFolder, kTopFolders * (1 + kSubFolders),
              kTreeBase);
  std::system((std::string("rm -rf ") + kTreeBase).c_str());
  ::mkdir(kTreeBase, 0755);
  ::mkdir(root.c_str(), 0755);
  std::ofstream(root + "/~RootRights.xml") << RightsXml(-1, 4);
  auto fill = [](const std::string& folder, int seed) {
    for (int f = 0; f < kFilesPerFolder; ++f) {
      char name[64];
      if (f < 2) {
        std::snprintf(name, sizeof name, "~temp_%02d.tmp", f);
      } else {
        std::snprintf(name, sizeof name, "document_%05d_%02d.txt", seed, f);
      }
      WriteSmallFile(folder + "/" + name, (seed * 7 + f * 13) % 200);
    }
  };
  for (int t = 0; t < kTopFolders; ++t) {
    char top_name[32];
    std::snprintf(top_name, sizeof top_name, "Area %02d", t);
    std::string top = root + "/" + top_name;
    ::mkdir(top.c_str(), 0755);
    // Top-level rights differ: each hides the area from one group and makes
    // it read-only for another.
    std::ofstream(root + "/~" + top_name + ".xml") << RightsXml(t % kGroups, (t + 2) % kGroups);
    fill(top, t * 100);
    for (int s = 0; s < kSubFolders; ++s) {
      char sub_name[32];
      std::snprintf(sub_name, sizeof sub_name, "Folder %03d", s);
      std::string sub = top + "/" + sub_name;
      ::mkdir(sub.c_str(), 0755);
      fill(sub, t * 100 + s + 1);
    }
  }
  std::ofstream(marker) << "ok\n";
  return root;
}

long PeakMemoryKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double FindSeconds(const std::string& root) {
  const std::string command = "find '" + root + "' -printf '%p %s %T@\\n' > /dev/null";
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) std::perror("find");
    best = std::min(best, Seconds(Clock::now() - start));
  }
  return best;
}

std::unique_ptr<kestrel::ProjectRecord> MakeProject(const std::string& root, int users) {
  auto project = std::make_unique<kestrel::ProjectRecord>();
  project->projectname = "Bench";
  project->rootpath = root;
  project->user_privileges = true;
  for (int g = 0; g < kGroups; ++g) project->groups.push_back({"G" + std::to_string(g)});
  for (int u = 0; u < users; ++u) {
    auto user = std::make_unique<kestrel::UserRecord>();
    user->username = "user" + std::to_string(u);
    user->groups.push_back({"G" + std::to_string(u % kGroups)});
    if (u % 3 == 2) user->groups.push_back({"G" + std::to_string((u + 1) % kGroups)});
    project->users.push_back(std::move(user));
  }
  return project;
}

}  // namespace

int main() {
  const std::string root = EnsureTree();
  const char* work_env = std::getenv("KESTREL_BENCH_WORK");
  const std::string work = work_env != nullptr && *work_env != '\0' ? work_env : kWorkDir;
  std::system(("rm -rf '" + work + "'").c_str());
  ::mkdir(work.c_str(), 0755);
  if (::chdir(work.c_str()) != 0) return 1;
  kestrel::platform::CreateFolder(".\\Config");
  kestrel::platform::CreateFolder(".\\Temp");

  kestrel::LogChannel log;  // no logging window: records are not built
  std::atomic<bool> shutdown{false};
  const double find_seconds = FindSeconds(root);
  std::printf("find over the tree: %.3f s\n\n", find_seconds);
  std::printf("%6s  %12s  %12s  %12s  %12s  %10s  %14s\n", "users", "first [s]", "unchanged [s]",
              "one change [s]", "rights only", "x find", "change/unchgd");

  for (int users : {1, 10, 50}) {
    std::system("rm -f Config/Scanresult_*");
    auto project = MakeProject(root, users);
    kestrel::projects::ProjectCycle cycle(*project, log, shutdown);
    const double c0 = CpuSeconds();
    auto t0 = Clock::now();
    cycle.RunScan();
    auto t1 = Clock::now();
    const double c1 = CpuSeconds();
    cycle.RunScan();
    auto t2 = Clock::now();
    const double c2 = CpuSeconds();
    // One changed file changes the document of every user who sees it: each
    // is compared with the file before and replaced.
    WriteSmallFile(root + "/Area 07/Folder 003/document_00704_10.txt", 77);
    auto t3 = Clock::now();
    const double c3 = CpuSeconds();
    cycle.RunScan();
    auto t4 = Clock::now();
    const double c4 = CpuSeconds();
    cycle.RunRightsPass();
    auto t5 = Clock::now();
    bool changed = project->users[0]->scan_result_changed.load();
    std::printf("%6d  %12.3f  %12.3f  %12.3f  %12.3f  %4.1f/%4.1f  %14.2f%s\n", users,
                Seconds(t1 - t0), Seconds(t2 - t1), Seconds(t4 - t3), Seconds(t5 - t4),
                Seconds(t1 - t0) / find_seconds, Seconds(t2 - t1) / find_seconds,
                Seconds(t4 - t3) / Seconds(t2 - t1), changed ? "" : "  (change not detected!)");
    std::printf("   cpu  %12.3f  %12.3f  %12.3f  %12s  %4.1f/%4.1f  %14.2f\n", c1 - c0, c2 - c1,
                c4 - c3, "", (c1 - c0) / find_seconds, (c2 - c1) / find_seconds,
                (c4 - c3) / (c2 - c1));
    std::printf("        peak memory so far (VmHWM): %ld kB\n", PeakMemoryKb());
  }
  std::printf("\npeak memory (VmHWM): %ld kB\n", PeakMemoryKb());
  return 0;
}
