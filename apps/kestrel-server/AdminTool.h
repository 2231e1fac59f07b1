#pragma once
// The administration commands of kestrel-server (user, project,
// remote-password) and --check-config: argument handling and output only;
// the work is done by src/config (ConfigEditor, CheckConfiguration).
#include <string>
#include <vector>

namespace kestrel {

inline constexpr int kToolOk = 0;
inline constexpr int kToolFailed = 1;  // refused, fault found, or not written
inline constexpr int kToolUsage = 2;

// True when args (after the global options) start with an administration command.
bool IsAdminCommand(const std::vector<std::string>& args);
// Runs one administration command in the current folder.
int RunAdminCommand(const std::vector<std::string>& args);
// --check-config in the current folder: prints the findings, returns 0 or 1.
int RunCheckConfig();

}  // namespace kestrel
