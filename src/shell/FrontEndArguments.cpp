#include "shell/FrontEndArguments.h"

namespace kestrel {

FrontEndArguments ParseFrontEndArguments(FrontEnd front_end, int argc, const char* const* argv) {
  using Action = FrontEndArguments::Action;
  FrontEndArguments parsed;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      parsed.action = Action::kHelp;
      return parsed;
    }
    if (arg == "--version") {
      parsed.action = Action::kVersion;
      return parsed;
    }
  }
  std::size_t i = 0;
  if (front_end == FrontEnd::kHeadless) {
    if (!args.empty() && args[0] == "--workdir") {
      if (args.size() < 2) {
        parsed.action = Action::kUsageError;
        parsed.error = "--workdir needs a folder";
        return parsed;
      }
      parsed.workdir = args[1];
      i = 2;
    }
    parsed.rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return parsed;
  }
  for (; i < args.size(); ++i) {
    if (args[i] == "--show-logging") {
      parsed.show_logging = true;
    } else if (args[i] == "--screenshot" && i + 1 < args.size()) {
      parsed.screenshot_dir = args[++i];
      parsed.show_logging = true;
    } else {
      parsed.rest.push_back(args[i]);
    }
  }
  return parsed;
}

}  // namespace kestrel
