#pragma once
// Helpers for the project store tests: a working folder to chdir into, a log
// capture attached to the server log channel, records and small files.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/ConfigModel.h"
#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"
#include "support/WindowMessages.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

// A fresh temporary folder that is the current directory while the object
// lives, with the server's working folders Config and Temp.
class ScopedWorkDir {
 public:
  ScopedWorkDir() {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
    if (::chdir(dir_.path().c_str()) != 0) std::abort();
    platform::CreateFolder("Config");
    platform::CreateFolder("Temp");
  }
  ~ScopedWorkDir() {
    if (!previous_.empty() && ::chdir(previous_.c_str()) != 0) std::abort();
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
};

struct CapturedLog {
  std::string text;
  int level;
};

// Runs a message loop on its own thread as the logging window and keeps every
// LogRecord posted to it.
class LogCapture {
 public:
  explicit LogCapture(LogChannel& channel)
      : channel_(channel), loop_(platform::SystemClock::Instance()) {
    loop_.SetHandler([this](platform::Message& m) -> std::intptr_t {
      if (m.id != WM_LOG_RECORD) return 0;
      if (auto record = m.Take<LogRecord>()) {
        std::lock_guard<std::mutex> lock(mu_);
        records_.push_back({record->text, record->level});
        cv_.notify_all();
      }
      return 0;
    });
    thread_ = std::thread([this] { loop_.Run(); });
    channel_.Attach(&loop_);
  }
  ~LogCapture() {
    channel_.Detach();
    loop_.Quit();
    thread_.join();
  }

  std::vector<CapturedLog> Records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const CapturedLog& r : Records()) texts.push_back(r.text);
    return texts;
  }
  int Count(const std::string& text) const {
    int n = 0;
    for (const CapturedLog& r : Records()) n += r.text == text ? 1 : 0;
    return n;
  }
  // Waits (real time, a few seconds at most) until text was logged count times.
  bool WaitFor(const std::string& text, int count = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
      int n = 0;
      for (const CapturedLog& r : records_) n += r.text == text ? 1 : 0;
      return n >= count;
    });
  }
  // Level of the first record with this text, -1 when none.
  int LevelOf(const std::string& text) const {
    for (const CapturedLog& r : Records()) {
      if (r.text == text) return r.level;
    }
    return -1;
  }

 private:
  LogChannel& channel_;
  platform::MessageLoop loop_;
  std::thread thread_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<CapturedLog> records_;  // guarded by mu_
};

struct UserSetup {
  std::string username;
  std::vector<std::string> groups;
};

inline std::unique_ptr<ProjectRecord> MakeProject(const std::string& name, const std::string& root,
                                                  std::initializer_list<UserSetup> users,
                                                  bool privileges) {
  auto project = std::make_unique<ProjectRecord>();
  project->projectname = name;
  project->rootpath = root;
  project->user_privileges = privileges;
  project->section_tag = "Project1";
  for (const UserSetup& setup : users) {
    auto user = std::make_unique<UserRecord>();
    user->username = setup.username;
    user->realname = "Real " + setup.username;
    user->useremail = setup.username + "@example.org";
    for (const std::string& g : setup.groups) {
      user->groups.push_back({g});
      bool known = false;
      for (const GroupNode& pg : project->groups) known = known || pg.name == g;
      if (!known) project->groups.push_back({g});
    }
    project->users.push_back(std::move(user));
  }
  return project;
}

// Writes bytes to a system path (relative to the current directory).
inline void WriteFile(const std::string& system_path, const std::string& bytes) {
  std::ofstream out(platform::NativePath(system_path), std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadFile(const std::string& system_path) {
  std::ifstream in(platform::NativePath(system_path), std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

struct GroupRight {
  int number;  // the N of Group<N>
  std::string name;
  std::string visible;
  std::string write;
};

inline std::string RightsXml(std::initializer_list<GroupRight> groups) {
  std::string xml = "<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>\n";
  for (const GroupRight& g : groups) {
    std::string tag = "Group" + std::to_string(g.number);
    xml += "  <" + tag + "><Groupname>" + g.name + "</Groupname><Visible>" + g.visible +
           "</Visible><Write>" + g.write + "</Write></" + tag + ">\n";
  }
  xml += "</UserRights>\n";
  return xml;
}

}  // namespace kestrel::test
