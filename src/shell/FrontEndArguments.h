#pragma once
// The command line of the server's front ends (kestrel-server, kestrel-gui).
// "--help" or "-h" and "--version" anywhere win over everything else; the
// headless front end takes "--workdir DIR" first and hands what follows to
// its commands; the desktop one takes "--show-logging" and
// "--screenshot DIR" anywhere. Whatever a front end does not know is left in
// `rest` for it to judge.
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr const char* kServerVersionText = "Kestrel - Server, Version 1.0";

struct FrontEndArguments {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  std::string error;  // kUsageError: what is wrong, e.g. "--workdir needs a folder"
  std::optional<std::string> workdir;  // --workdir DIR (headless)
  bool show_logging = false;
  std::string screenshot_dir;  // implies show_logging
  std::vector<std::string> rest;
};

enum class FrontEnd { kHeadless, kDesktop };

FrontEndArguments ParseFrontEndArguments(FrontEnd front_end, int argc, const char* const* argv);

}  // namespace kestrel
