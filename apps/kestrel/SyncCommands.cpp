// sync and watch: two-way synchronisation of a local folder with the project.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "Commands.h"
#include "ExitCodes.h"
#include "ServerLink.h"
#include "Terminal.h"
#include "client/BasicRequests.h"
#include "client/SyncRunner.h"
#include "client/TextCodec.h"
#include "platform/FileSystem.h"

namespace kestrel::cli {
namespace {

using client::SyncAction;
using client::SyncStep;

// Prints what a sync run does: one line per step on stdout, warnings and
// errors on stderr, a progress line per transfer on a terminal.
class SyncPrinter : public client::SyncObserver {
 public:
  explicit SyncPrinter(const Settings& settings, const std::string& root)
      : settings_(settings), root_(root) {}

  void OnSkipped(const client::SkippedName& skipped) override {
    std::printf("%-18s %s  [%s]\n", "skip", Shown(skipped.key).c_str(), skipped.reason.c_str());
  }
  void OnUntranslatable(int count) override {
    std::printf("%-18s %d local name%s with characters above U+00FF\n", "skip", count,
                count == 1 ? "" : "s");
  }
  void OnWouldCreateRoot() override { std::printf("would create %s\n", Shown(root_).c_str()); }
  void OnStep(const SyncAction& a, bool dry_run) override {
    std::string line = std::string(dry_run ? "would " : "") + client::StepName(a.step);
    line.resize(std::max<std::size_t>(line.size(), dry_run ? 24 : 18), ' ');
    line += ' ';
    line += Shown(a.key);
    if (a.step == SyncStep::kConflict) {
      line += " (local copy kept as " + Shown(a.conflict_key) +
              (a.upload_conflict_copy ? " and uploaded)" : ")");
    }
    if (!a.reason.empty()) line += "  [" + a.reason + "]";
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  void OnWarning(const std::string& text) override { PrintWarning(text); }
  void OnError(const std::string& text) override { PrintError(text); }
  std::unique_ptr<client::TransferObserver> WatchTransfer(const std::string& shown_key) override {
    return std::make_unique<TransferLine>(settings_.progress, shown_key);
  }

 private:
  const Settings& settings_;  // borrowed, outlives the printer
  std::string root_;          // system path of the local folder
};

// sync --dry-run --json: collects the plan and prints it as one JSON object
// at the end; warnings and errors still go to stderr.
class SyncJsonPrinter : public client::SyncObserver {
 public:
  void OnSkipped(const client::SkippedName& skipped) override {
    skipped_.push_back(Item("path", Shown(skipped.key), skipped.reason));
  }
  void OnUntranslatable(int count) override { untranslatable_ = count; }
  void OnWouldCreateRoot() override { create_root_ = true; }
  void OnStep(const SyncAction& a, bool) override {
    std::string step = "{\"step\":" + client::JsonQuoted(client::StepName(a.step)) +
                       ",\"path\":" + client::JsonQuoted(Shown(a.key));
    if (a.step == SyncStep::kConflict) {
      step += ",\"conflict_copy\":" + client::JsonQuoted(Shown(a.conflict_key)) +
              ",\"upload_conflict_copy\":" + (a.upload_conflict_copy ? "true" : "false");
    }
    steps_.push_back(step + ",\"reason\":" + client::JsonQuoted(a.reason) + "}");
  }
  void OnWarning(const std::string& text) override { PrintWarning(text); }
  void OnError(const std::string& text) override { PrintError(text); }
  std::unique_ptr<client::TransferObserver> WatchTransfer(const std::string&) override {
    return nullptr;
  }

  void Print(const std::string& root, int changes) const {
    std::printf(
        "{\"root\":%s,\"create_root\":%s,\"changes\":%d,\"steps\":[%s],"
        "\"skipped\":[%s],\"untranslatable\":%d}\n",
        client::JsonQuoted(Shown(root)).c_str(), create_root_ ? "true" : "false", changes,
        Joined(steps_).c_str(), Joined(skipped_).c_str(), untranslatable_);
  }

 private:
  static std::string Item(const char* name, const std::string& value, const std::string& reason) {
    return std::string("{\"") + name + "\":" + client::JsonQuoted(value) +
           ",\"reason\":" + client::JsonQuoted(reason) + "}";
  }
  static std::string Joined(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) joined += (joined.empty() ? "" : ",") + item;
    return joined;
  }

  std::vector<std::string> steps_;
  std::vector<std::string> skipped_;
  int untranslatable_ = 0;
  bool create_root_ = false;
};

int ExitCodeOf(client::SyncStatus status) {
  switch (status) {
    case client::SyncStatus::kDone:
      return kExitOk;
    case client::SyncStatus::kNoScanResult:
      return kExitConnection;
    case client::SyncStatus::kLocal:
      return kExitLocal;
    case client::SyncStatus::kIncomplete:
      break;
  }
  return kExitIncomplete;
}

std::atomic<bool> g_stop{false};

void OnStopSignal(int) {
  g_stop.store(true);
}

// Whole seconds of an option in [low, high]; nullopt after printing why.
std::optional<int> SecondsOption(const CommandLine& line, const char* name, int fallback, int low,
                                 int high) {
  const auto found = line.values.find(name);
  if (found == line.values.end()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(found->second.c_str(), &end, 10);
  if (end == found->second.c_str() || *end != '\0' || value < low || value > high) {
    PrintError(std::string("--") + name + " wants whole seconds between " + std::to_string(low) +
               " and " + std::to_string(high));
    return std::nullopt;
  }
  return static_cast<int>(value);
}

// The local folder argument as a system path, created when missing (unless
// may_miss); nullopt after printing why, with the exit code in code.
std::optional<std::string> SyncFolder(const std::string& native, bool may_miss, int& code) {
  std::optional<std::string> root = LocalSystemPath(native);
  code = kExitUsage;
  if (!root) return std::nullopt;
  if (platform::IsFolder(*root)) return root;
  code = kExitLocal;
  if (platform::Exists(*root)) {
    PrintError("'" + native + "' is not a folder");
    return std::nullopt;
  }
  if (may_miss) return root;
  if (platform::CreateFolder(*root) != 0) {
    PrintError("the folder '" + native + "' does not exist and cannot be created");
    return std::nullopt;
  }
  return root;
}

// The sync settings of the command line; nullopt after printing why, with
// the exit code in code.
std::optional<client::SyncSettings> ReadSyncSettings(const CommandLine& line,
                                                     const Settings& settings, int& code) {
  client::SyncSettings sync;
  code = kExitUsage;
  std::optional<int> settle = SecondsOption(line, "settle", 30, 0, 600);
  if (!settle) return std::nullopt;
  sync.settle_seconds = *settle;
  sync.dry_run = line.flags.count("dry-run") != 0;
  sync.propagate_deletes = line.flags.count("delete") != 0;
  if (line.flags.count("json") != 0 && !sync.dry_run) {
    PrintError("--json applies to sync --dry-run only");
    return std::nullopt;
  }
  std::optional<std::string> root = SyncFolder(Arg(line, 0), sync.dry_run, code);
  if (!root) return std::nullopt;
  sync.root = *root;
  code = kExitUsage;
  std::string error;
  std::optional<std::string> password =
      ObtainPassword("Password for " + client::ToDisplayText(settings.user) + "@" +
                         client::ToDisplayText(settings.project) + ": ",
                     error);
  if (!password) {
    PrintError(error);
    return std::nullopt;
  }
  sync.password = *password;
  return sync;
}

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

int RunSync(const CommandLine& line, const Settings& settings) {
  int code = kExitOk;
  std::optional<client::SyncSettings> sync = ReadSyncSettings(line, settings, code);
  if (!sync) return code;
  ServerLink link(settings);
  if (code = link.LoginClient(sync->password); code != kExitOk) return code;
  if (line.flags.count("json") != 0) {
    SyncJsonPrinter printer;
    const client::SyncOutcome outcome =
        client::SyncRunner(link.link(), *sync, printer, nullptr).Run();
    if (outcome.status == client::SyncStatus::kDone) printer.Print(sync->root, outcome.changes);
    return ExitCodeOf(outcome.status);
  }
  SyncPrinter printer(settings, sync->root);
  client::SyncRunner runner(link.link(), *sync, printer, nullptr);
  const client::SyncOutcome outcome = runner.Run();
  if (outcome.status == client::SyncStatus::kDone) {
    if (sync->dry_run) {
      std::printf("dry run: %d change%s planned, nothing was changed\n", outcome.changes,
                  outcome.changes == 1 ? "" : "s");
    } else {
      std::printf("sync done: %d change%s\n", outcome.changes, outcome.changes == 1 ? "" : "s");
    }
  }
  return ExitCodeOf(outcome.status);
}

int RunWatch(const CommandLine& line, const Settings& settings) {
  std::optional<int> interval = SecondsOption(line, "interval", 30, 1, 86400);
  if (!interval) return kExitUsage;
  int code = kExitOk;
  std::optional<client::SyncSettings> sync = ReadSyncSettings(line, settings, code);
  if (!sync) return code;
  if (sync->dry_run) {
    PrintError("watch does not take --dry-run; use sync --dry-run");
    return kExitUsage;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  bool first = true;
  client::LocalListing last_local;
  std::printf("watching %s every %d s (Ctrl-C ends)\n", Arg(line, 0).c_str(), *interval);
  std::fflush(stdout);
  while (!g_stop.load()) {
    {
      ServerLink link(settings);
      const int code = link.LoginClient(sync->password);
      if (code == kExitLoginRefused || code == kExitUsage) return code;
      if (code == kExitOk) {
        bool run = first;
        if (!run) {
          const client::YesNo changed = client::ScanResultChanged(link.connection());
          if (changed == client::YesNo::kNoReply) {
            PrintWarning(link.NoReply("the question whether the scan result changed"));
          }
          run = changed == client::YesNo::kYes ||
                client::ListLocalTree(sync->root).files != last_local;
        }
        if (run && link.connection().connected()) {
          if (first) std::printf("[%s] first sync\n", NowText().c_str());
          sync->show_kept = first;
          SyncPrinter printer(settings, sync->root);
          client::SyncRunner runner(link.link(), *sync, printer, &g_stop);
          const client::SyncOutcome outcome = runner.Run();
          if (outcome.status == client::SyncStatus::kLocal && first) return kExitLocal;
          if (outcome.changes > 0) {
            std::printf("[%s] %d change%s\n", NowText().c_str(), outcome.changes,
                        outcome.changes == 1 ? "" : "s");
          }
          if (outcome.status == client::SyncStatus::kDone) {
            last_local = outcome.local_after;
            first = false;
          }
        }
      } else {
        PrintWarning("trying again in " + std::to_string(*interval) + " s");
      }
      std::fflush(stdout);
    }
    for (int tenth = 0; tenth < *interval * 10 && !g_stop.load(); ++tenth) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  std::printf("watch ended\n");
  return kExitOk;
}

}  // namespace kestrel::cli
