#pragma once
// The command line: global connection options, the command words, the
// positional arguments and the command's own options. Options may stand
// anywhere ("--name value" or "--name=value"); "--" ends them.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::cli {

struct CommandLine {
  std::vector<std::string> words;             // command words and positional arguments
  std::map<std::string, std::string> values;  // options with a value, by name without "--"
  std::map<std::string, bool> flags;          // options without a value
  bool help = false;
  bool version = false;
  int command_words = 1;  // how many of words name the command ("admin logs": 2)
};

// nullopt (with a message in error) when an option is unknown or lacks its value.
std::optional<CommandLine> ParseCommandLine(int argc, char** argv, std::string& error);

// The connection settings after options and the environment.
struct Settings {
  std::string host = "localhost";
  std::uint16_t port = 50000;
  std::string project;     // 8-bit text
  std::string user;        // 8-bit text
  std::string global_key;  // 8-bit text
  int timeout_seconds = 30;
  bool progress = false;  // stderr is a terminal and --quiet was not given
};

inline constexpr const char* kDefaultGlobalKey = "qa7b5N2dkeMw8rf";

// Fills settings from the command line and KESTREL_SERVER, KESTREL_PROJECT,
// KESTREL_USER, KESTREL_GLOBAL_KEY. False with a message on bad values.
bool ResolveSettings(const CommandLine& line, Settings& settings, std::string& error);

// "host", "host:port", "[v6]:port".
bool ParseServerAddress(const std::string& text, std::string& host, std::uint16_t& port);

// The password: KESTREL_PASSWORD, else a prompt on the terminal. nullopt with
// a message when neither gives one. The result is 8-bit text.
std::optional<std::string> ObtainPassword(const std::string& prompt, std::string& error);
// A new password: KESTREL_NEW_PASSWORD, else asked twice on the terminal.
std::optional<std::string> ObtainNewPassword(std::string& error);

}  // namespace kestrel::cli
