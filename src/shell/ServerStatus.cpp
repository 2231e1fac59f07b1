#include "shell/ServerStatus.h"

#include <utility>

#include "logging/LogFiles.h"

namespace kestrel {
namespace {

constexpr const char* kNotScanned = "not scanned yet";
constexpr const char* kRootMissing = ", root folder missing";

}  // namespace

void ServerStatus::Started(const ServerConfig& config, std::string listen_line, bool listening,
                           const platform::LocalTime& now, TrayModel& model) {
  model.state = ServerState::kRunning;
  ++model.starts;
  model.state_line = (model.starts == 1 ? "running since " : "restarted at ") + FormatLogTime(now);
  model.listening = listening;
  model.listen_line = std::move(listen_line);
  model.projects.clear();
  seen_.clear();
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    model.projects.push_back(
        ProjectStatus{project->projectname, static_cast<int>(project->users.size()), kNotScanned});
    seen_.push_back(project->scans_finished.load());
  }
}

void ServerStatus::Restarting(TrayModel& model) {
  model.state = ServerState::kRestarting;
  model.state_line = "restarting ...";
}

void ServerStatus::Stopped(TrayModel& model) {
  model.state = ServerState::kStopped;
  model.state_line = "stopped";
  model.listening = false;
  model.listen_line = "not listening";
}

bool ServerStatus::NoteScans(const ServerConfig& config, const platform::LocalTime& now,
                             TrayModel& model) {
  bool changed = false;
  for (std::size_t i = 0; i < config.projects.size() && i < seen_.size(); ++i) {
    const ProjectRecord& project = *config.projects[i];
    const std::uint32_t finished = project.scans_finished.load();
    if (finished == seen_[i]) continue;
    seen_[i] = finished;
    model.projects[i].last_scan =
        FormatLogTime(now) + (project.root_missing.load() ? kRootMissing : "");
    changed = true;
  }
  return changed;
}

bool LatestLine::Put(std::string line) {
  std::lock_guard<std::mutex> lock(mu_);
  line_ = std::move(line);
  const bool tell = !waiting_;
  waiting_ = true;
  return tell;
}

std::string LatestLine::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  waiting_ = false;
  return line_;
}

}  // namespace kestrel
