#include "AdminTool.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>

#include "config/ConfigAdmin.h"
#include "config/ConfigCheck.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/PidLock.h"

namespace kestrel {
namespace {

struct Options {
  std::vector<std::string> words;
  std::vector<std::string> groups;
  std::string email, realname;
  bool password_stdin = false;
  bool signal = false;
};

void Complain(const std::string& text) {
  std::fprintf(stderr, "kestrel-server: %s\n", text.c_str());
}

std::optional<Options> Parse(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string group;
    if (arg == "--password-stdin") {
      options.password_stdin = true;
    } else if (arg == "--signal") {
      options.signal = true;
    } else if (arg == "--email") {
      if (!value(options.email)) return std::nullopt;
    } else if (arg == "--realname") {
      if (!value(options.realname)) return std::nullopt;
    } else if (arg == "--group") {
      if (!value(group)) return std::nullopt;
      options.groups.push_back(group);
    } else if (arg.size() > 1 && arg[0] == '-') {
      Complain("unknown option '" + arg + "' (try --help)");
      return std::nullopt;
    } else {
      options.words.push_back(arg);
    }
  }
  return options;
}

// One line from the terminal without echo; nullopt without a terminal.
std::optional<std::string> AskSecret(const char* prompt) {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  termios saved{};
  const bool quiet = ::tcgetattr(tty, &saved) == 0;
  if (quiet) {
    termios off = saved;
    off.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &off);
  }
  std::optional<std::string> line;
  if (::write(tty, prompt, std::string_view(prompt).size()) >= 0) {
    std::string text;
    char c = 0;
    while (::read(tty, &c, 1) == 1 && c != '\n' && c != '\r') text += c;
    line = text;
  }
  if (quiet) ::tcsetattr(tty, TCSAFLUSH, &saved);
  if (::write(tty, "\n", 1) < 0) line.reset();
  ::close(tty);
  return line;
}

// The new password: one line of standard input, or asked twice without echo.
std::optional<std::string> NewPassword(const Options& options) {
  std::string password;
  if (options.password_stdin) {
    if (!std::getline(std::cin, password)) password.clear();
  } else {
    const std::optional<std::string> first = AskSecret("New password: ");
    const std::optional<std::string> second = first ? AskSecret("New password again: ") : first;
    if (!first || !second) {
      Complain("no terminal to ask the password on: use --password-stdin");
      return std::nullopt;
    }
    if (*first != *second) {
      Complain("the two passwords differ");
      return std::nullopt;
    }
    password = *first;
  }
  if (password.empty()) {
    Complain("the password is empty");
    return std::nullopt;
  }
  return password;
}

bool Expect(const Options& options, std::size_t words) {
  if (options.words.size() == words) return true;
  Complain("wrong number of arguments for '" + options.words[0] +
           (options.words.size() > 1 ? " " + options.words[1] : std::string()) + "' (try --help)");
  return false;
}

int Report(const EditResult& result) {
  if (!result.ok) {
    Complain(result.message);
    return kToolFailed;
  }
  if (!result.message.empty()) std::printf("%s\n", result.message.c_str());
  return kToolOk;
}

void PrintProjects(const ServerConfig& config, const std::string* only) {
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    if (only != nullptr && project->projectname != *only) continue;
    if (only == nullptr) {
      std::printf("%s\t%s\t%zu users\n", project->projectname.c_str(), project->rootpath.c_str(),
                  project->users.size());
      continue;
    }
    for (const std::unique_ptr<UserRecord>& user : project->users) {
      std::string groups;
      for (const GroupNode& g : user->groups) groups += (groups.empty() ? "" : ",") + g.name;
      std::printf("%s\t%s\t%s\t%s\n", user->username.c_str(), user->realname.c_str(),
                  user->useremail.c_str(), groups.c_str());
    }
  }
}

}  // namespace

bool IsAdminCommand(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  return args[0] == "user" || args[0] == "project" || args[0] == "remote-password";
}

int RunAdminCommand(const std::vector<std::string>& args) {
  const std::optional<Options> parsed = Parse(args);
  if (!parsed || parsed->words.empty()) return kToolUsage;
  const Options& o = *parsed;
  const std::string& what = o.words[0];
  const std::string verb = o.words.size() > 1 ? o.words[1] : "";
  const bool lists = verb == "list";
  const bool known =
      (what == "user" && (verb == "add" || verb == "passwd" || verb == "remove" || lists)) ||
      (what == "project" && (verb == "add" || lists)) || what == "remote-password";
  if (!known) {
    Complain("unknown command '" + what + (verb.empty() ? "" : " " + verb) + "' (try --help)");
    return kToolUsage;
  }
  if (!Expect(o, what == "remote-password" ? 1
                 : what == "project"       ? (lists ? 2 : 4)
                 : lists                   ? 3
                                           : 4)) {
    return kToolUsage;
  }

  ConfigEditor editor;
  if (const EditResult loaded = editor.Load(); !loaded.ok) return Report(loaded);
  if (lists) {
    const bool per_project = what == "user";
    if (per_project &&
        std::none_of(editor.config().projects.begin(), editor.config().projects.end(),
                     [&](const auto& p) { return p->projectname == o.words[2]; })) {
      Complain("no project '" + o.words[2] + "'");
      return kToolFailed;
    }
    PrintProjects(editor.config(), per_project ? &o.words[2] : nullptr);
    return kToolOk;
  }

  const std::optional<pid_t> server = platform::PidLock::Holder(platform::kServerLockFile);
  if (server && !o.signal) {
    Complain("a server (pid " + std::to_string(*server) +
             ") runs in this folder; add --signal to change the configuration and make it read "
             "it again");
    return kToolFailed;
  }

  EditResult edit;
  if (what == "project") {
    edit = editor.AddProject(o.words[2], o.words[3],
                             o.groups.empty() ? std::vector<std::string>{"Users"} : o.groups);
  } else if (verb == "remove") {
    edit = editor.RemoveUser(o.words[2], o.words[3]);
  } else {
    const std::optional<std::string> password = NewPassword(o);
    if (!password) return kToolUsage;
    if (what == "remote-password") {
      edit = editor.SetRemotePassword(*password);
    } else if (verb == "passwd") {
      edit = editor.SetUserPassword(o.words[2], o.words[3], *password);
    } else {
      edit =
          editor.AddUser(NewUser{o.words[2], o.words[3], o.realname, o.email, o.groups, *password});
    }
  }
  if (!edit.ok) return Report(edit);
  if (const EditResult saved = editor.Save(platform::SystemClock::Instance()); !saved.ok) {
    return Report(saved);
  }
  Report(edit);
  if (server) {
    if (*server <= 0 || ::kill(*server, SIGHUP) != 0) {
      Complain("the server could not be signalled; restart it to apply the change");
      return kToolFailed;
    }
    std::printf("server (pid %d) signalled to read the configuration again\n",
                static_cast<int>(*server));
  }
  return kToolOk;
}

int RunCheckConfig() {
  const ConfigCheckResult result = CheckConfiguration();
  for (const ConfigFinding& finding : result.findings) {
    std::printf("%s\n", FormatFinding(finding).c_str());
  }
  if (result.has_faults()) return kToolFailed;
  std::printf("Config/KestrelServer.xml: the server would run as configured\n");
  return kToolOk;
}

}  // namespace kestrel
