#pragma once
// The commands of the kestrel tool. Each returns an exit code (ExitCodes.h).
#include <optional>
#include <string>
#include <string_view>

#include "CliOptions.h"
#include "ServerLink.h"
#include "client/ClientSession.h"
#include "client/RemotePath.h"
#include "client/TextCodec.h"
#include "client/Transfer.h"
#include "platform/Clock.h"

namespace kestrel::cli {

struct Command {
  const char* name;     // "ls", "admin logs", ...
  const char* args;     // its arguments in the overview ("REMOTE [LOCAL]")
  const char* summary;  // one line for the overview
  const char* usage;    // full help text
  const char* options;  // command options it accepts, blank-separated ("json")
  int min_args;
  int max_args;
  int (*run)(const CommandLine& line, const Settings& settings);
};

// Positional arguments after the command words.
const std::string& Arg(const CommandLine& line, int index);
int ArgCount(const CommandLine& line);

int RunLs(const CommandLine& line, const Settings& settings);
int RunGet(const CommandLine& line, const Settings& settings);
int RunPut(const CommandLine& line, const Settings& settings);
int RunRm(const CommandLine& line, const Settings& settings);
int RunPasswd(const CommandLine& line, const Settings& settings);
int RunChanged(const CommandLine& line, const Settings& settings);
int RunSync(const CommandLine& line, const Settings& settings);
int RunWatch(const CommandLine& line, const Settings& settings);
int RunAdminLogs(const CommandLine& line, const Settings& settings);
int RunAdminRights(const CommandLine& line, const Settings& settings);
int RunAdminPushConfig(const CommandLine& line, const Settings& settings);
int RunAdminPushRights(const CommandLine& line, const Settings& settings);
int RunAdminPasswd(const CommandLine& line, const Settings& settings);

// Shared helpers.
// A native (UTF-8) local path as a system path; nullopt after printing why.
std::optional<std::string> LocalSystemPath(const std::string& native);
using client::Shown;        // a system path or key for messages
using client::ShownRemote;  // a remote file for messages
// "2026-12-08 15:30:00" in local time.
std::string LocalTimeText(platform::FileTime time);
// "2026-12-08T14:30:00Z".
std::string UtcTimeText(platform::FileTime time);

// The current and the new password of a password change; false after
// printing why there is none.
bool ObtainPasswordChange(const std::string& prompt, std::string& old_password,
                          std::string& new_password);
// The exit code of a transfer's outcome; ReportTransfer also prints the
// message of a failure.
int ExitCodeOf(client::TransferStatus status);
int ReportTransfer(const client::TransferResult& result);
// Exit code and message for the server's answer to a password change.
int ReportPasswordChange(ServerLink& link, client::PasswordChange change,
                         const std::string& done_message);

}  // namespace kestrel::cli
