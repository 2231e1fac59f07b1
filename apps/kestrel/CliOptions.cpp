#include "CliOptions.h"

#include <cstdlib>
#include <set>

#include "Terminal.h"
#include "client/TextCodec.h"

namespace kestrel::cli {
namespace {

const std::set<std::string> kValueOptions = {"server",  "project",  "user",  "global-key",
                                             "timeout", "interval", "settle"};
const std::set<std::string> kFlagOptions = {"json",  "delete", "dry-run",
                                            "quiet", "help",   "version"};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// An option's value, else the environment's, else fallback.
std::string Pick(const CommandLine& line, const char* option, const char* env,
                 const std::string& fallback) {
  const auto found = line.values.find(option);
  if (found != line.values.end()) return found->second;
  const std::string from_env = env != nullptr ? Env(env) : std::string();
  return from_env.empty() ? fallback : from_env;
}

bool ToSystem(const std::string& typed, const char* what, std::string& out, std::string& error) {
  std::optional<std::string> text = client::ToSystemText(typed);
  if (!text) {
    error = std::string(what) + " holds characters the server cannot carry (only U+0000..U+00FF)";
    return false;
  }
  out = std::move(*text);
  return true;
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(int argc, char** argv, std::string& error) {
  CommandLine line;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-' || arg == "-") {
      line.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h") {
      line.help = true;
      continue;
    }
    if (arg == "-q") {
      line.flags["quiet"] = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unknown option '" + arg + "'";
      return std::nullopt;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    const std::size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (kFlagOptions.count(name) != 0) {
      if (value) {
        error = "option --" + name + " takes no value";
        return std::nullopt;
      }
      if (name == "help") {
        line.help = true;
      } else if (name == "version") {
        line.version = true;
      } else {
        line.flags[name] = true;
      }
    } else if (kValueOptions.count(name) != 0) {
      if (!value) {
        if (i + 1 >= argc) {
          error = "option --" + name + " needs a value";
          return std::nullopt;
        }
        value = argv[++i];
      }
      line.values[name] = *value;
    } else {
      error = "unknown option '--" + name + "'";
      return std::nullopt;
    }
  }
  return line;
}

bool ParseServerAddress(const std::string& text, std::string& host, std::uint16_t& port) {
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port_text = text.substr(close + 2);
      if (port_text.empty()) return false;
    }
  } else {
    const std::size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = text.substr(colon + 1);
      if (port_text.empty()) return false;
    }
  }
  if (host.empty()) return false;
  if (!port_text.empty()) {
    if (port_text.size() > 5) return false;
    unsigned long value = 0;
    for (const char c : port_text) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
  }
  return true;
}

bool ResolveSettings(const CommandLine& line, Settings& settings, std::string& error) {
  const std::string server = Pick(line, "server", "KESTREL_SERVER", "localhost:50000");
  if (!ParseServerAddress(server, settings.host, settings.port)) {
    error = "bad server address '" + server + "' (expected HOST or HOST:PORT)";
    return false;
  }
  if (!ToSystem(Pick(line, "project", "KESTREL_PROJECT", ""), "the project name", settings.project,
                error) ||
      !ToSystem(Pick(line, "user", "KESTREL_USER", ""), "the user name", settings.user, error) ||
      !ToSystem(Pick(line, "global-key", "KESTREL_GLOBAL_KEY", kDefaultGlobalKey), "the global key",
                settings.global_key, error)) {
    return false;
  }
  const auto timeout = line.values.find("timeout");
  if (timeout != line.values.end()) {
    char* end = nullptr;
    const long value = std::strtol(timeout->second.c_str(), &end, 10);
    if (end == timeout->second.c_str() || *end != '\0' || value < 1 || value > 3600) {
      error = "--timeout wants whole seconds between 1 and 3600";
      return false;
    }
    settings.timeout_seconds = static_cast<int>(value);
  }
  settings.progress = StderrIsTerminal() && line.flags.count("quiet") == 0;
  return true;
}

std::optional<std::string> ObtainPassword(const std::string& prompt, std::string& error) {
  std::string typed = Env("KESTREL_PASSWORD");
  if (typed.empty()) {
    std::optional<std::string> asked = PromptSecret(prompt);
    if (!asked) {
      error = "no password: set KESTREL_PASSWORD or run on a terminal";
      return std::nullopt;
    }
    typed = std::move(*asked);
  }
  std::string password;
  if (!ToSystem(typed, "the password", password, error)) return std::nullopt;
  return password;
}

std::optional<std::string> ObtainNewPassword(std::string& error) {
  std::string typed = Env("KESTREL_NEW_PASSWORD");
  if (typed.empty()) {
    std::optional<std::string> first = PromptSecret("New password: ");
    std::optional<std::string> second = first ? PromptSecret("New password again: ") : std::nullopt;
    if (!first || !second) {
      error = "no new password: set KESTREL_NEW_PASSWORD or run on a terminal";
      return std::nullopt;
    }
    if (*first != *second) {
      error = "the two new passwords differ";
      return std::nullopt;
    }
    typed = std::move(*first);
  }
  if (typed.empty()) {
    error = "the new password is empty";
    return std::nullopt;
  }
  std::string password;
  if (!ToSystem(typed, "the new password", password, error)) return std::nullopt;
  return password;
}

}  // namespace kestrel::cli
