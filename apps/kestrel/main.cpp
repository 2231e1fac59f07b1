// kestrel: the command-line client and administration tool of Kestrel Server.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "CliOptions.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "ServerLink.h"

namespace kestrel::cli {
namespace {

constexpr const char* kConnectionHelp =
    "Connection options (anywhere on the line):\n"
    "  --server HOST[:PORT]  server address (KESTREL_SERVER; default localhost:50000)\n"
    "  --project NAME        project (KESTREL_PROJECT)\n"
    "  --user NAME           user (KESTREL_USER)\n"
    "  --global-key KEY      the server's GlobalKey (KESTREL_GLOBAL_KEY; default: the\n"
    "                        server's built-in key)\n"
    "  --timeout SECONDS     how long to wait for each reply (default 30)\n"
    "  --quiet, -q           no progress line\n"
    "The password comes from KESTREL_PASSWORD or is asked for on the terminal.\n";

constexpr const char* kMainUsageHead = "Usage: kestrel [options] COMMAND [arguments]\n";
constexpr const char* kMainUsageTail =
    "\n"
    "kestrel COMMAND --help shows the details of a command; kestrel --version\n"
    "the version.\n"
    "\n"
    "Exit codes: 0 done (changed: the list changed), 1 changed: it did not,\n"
    "2 bad command line, 3 no connection or no reply, 4 login refused, 5 refused\n"
    "by the server or not found, 6 a local file or folder error, 7 sync: some\n"
    "steps failed.\n"
    "\n";
constexpr const char* kAdminUsageHead =
    "Usage: kestrel admin COMMAND [arguments]\n"
    "\n"
    "The administration commands log in with the remote administration password\n"
    "(KESTREL_PASSWORD or a prompt); the server must have ActivateRemote on.\n";
constexpr const char* kAdminUsageTail =
    "\n"
    "kestrel admin COMMAND --help shows the details of a command.\n"
    "\n";
constexpr const char* kVersion = "kestrel (Kestrel Server) " KESTREL_VERSION;

constexpr const char* kLsHelp =
    "Usage: kestrel ls [--json]\n"
    "\n"
    "Shows the folders and files that you may see, with their last-write times,\n"
    "whether you may write in each folder, and the folders hidden from you. The\n"
    "scan result carries no per-file sizes; the total size of the project is shown.\n"
    "  --json    one JSON object for scripts (times as UTC and as file times)\n";

constexpr const char* kGetHelp =
    "Usage: kestrel get REMOTE [LOCAL]\n"
    "\n"
    "Downloads REMOTE (\"Docs/team.csv\", \"Docs\\\\team.csv\" or \"readme.txt\" in the\n"
    "root) to LOCAL (default: the file name in the current folder; a folder\n"
    "receives the file under its name); the folder it goes into must exist. The\n"
    "local file gets the server's last-write time. An existing local file is\n"
    "replaced only by a complete copy. On a terminal the progress line shows\n"
    "\"preparing\" while the server packs the file, then bytes, total and time left.\n";

constexpr const char* kPutHelp =
    "Usage: kestrel put LOCAL [REMOTE-FOLDER]\n"
    "\n"
    "Uploads the file LOCAL into REMOTE-FOLDER (\"Docs/2024\"; the project root when\n"
    "left out, \"/\" or \"RootFolder\"), announcing its local last-write time, which\n"
    "the server gives the stored file. Missing folders are created by the server.\n"
    "The server lists the file after its rescan, which the logout starts. On a\n"
    "terminal the progress line shows \"packing\" while the file is packed here.\n";

constexpr const char* kRmHelp =
    "Usage: kestrel rm REMOTE\n"
    "\n"
    "Deletes the file REMOTE on the server (it must be in your file list and its\n"
    "folder writable for you). Folders are not deleted: the server removes empty\n"
    "ones itself when DeleteEmptyFolders is on.\n";

constexpr const char* kPasswdHelp =
    "Usage: kestrel passwd\n"
    "\n"
    "Changes your password. The current one comes from KESTREL_PASSWORD or a\n"
    "prompt, the new one from KESTREL_NEW_PASSWORD or two prompts.\n";

constexpr const char* kChangedHelp =
    "Usage: kestrel changed [--json]\n"
    "\n"
    "Asks whether the server's last scan changed your file list. Prints \"changed\"\n"
    "and exits 0, or prints \"unchanged\" and exits 1 (other codes: errors). The\n"
    "answer stays \"changed\" until the server's next scan finds nothing new.\n"
    "  --json    {\"changed\":true} or {\"changed\":false}, same exit codes\n";

constexpr const char* kSyncHelp =
    "Usage: kestrel sync LOCAL-DIR [--delete] [--dry-run [--json]] [--settle SECONDS]\n"
    "\n"
    "Synchronises LOCAL-DIR (created when missing) with your files on the server,\n"
    "both ways, by last-write times:\n"
    "  - new or newer on the server: downloaded (the local copy gets the server's time);\n"
    "  - new or newer here: uploaded where the folder is writable for you;\n"
    "  - changed on both sides since the last sync: the local file is kept as\n"
    "    \"name (conflict USER YYYY-MM-DD HHMM).ext\" and the server's copy downloaded;\n"
    "  - deleted on one side: kept, unless --delete is given;\n"
    "  - folders hidden from you and names beginning with \"~\" are left alone.\n"
    "What both sides held at the last sync is kept in LOCAL-DIR/.kestrel-sync.\n"
    "  --delete           remove on one side what was deleted on the other\n"
    "                     since the last sync (never when the other side lists no\n"
    "                     files at all)\n"
    "  --dry-run          print the plan and change nothing\n"
    "  --json             with --dry-run: the plan as one JSON object\n"
    "  --settle SECONDS   how long to wait for the server's rescan to confirm the\n"
    "                     uploads and deletions (default 30; 0: confirm next time)\n";

constexpr const char* kWatchHelp =
    "Usage: kestrel watch LOCAL-DIR [--interval SECONDS] [--delete] [--settle SECONDS]\n"
    "\n"
    "Synchronises LOCAL-DIR once, then every SECONDS (default 30) asks the server\n"
    "whether your file list changed and looks for local changes; it synchronises\n"
    "when either did. Ends on Ctrl-C or SIGTERM.\n";

constexpr const char* kAdminLogsHelp =
    "Usage: kestrel admin logs [DIR]\n"
    "\n"
    "Downloads the server-logs archive (server configuration, scan results, log\n"
    "files) and unpacks it into DIR (default ./server-logs, created when missing).\n";

constexpr const char* kAdminPushConfigHelp =
    "Usage: kestrel admin push-config FILE\n"
    "\n"
    "Sends a server configuration (top element KestrelServer_Config with a\n"
    "GlobalKey). The server takes over its general settings and project sections\n"
    "(not GlobalKey, ActivateRemote, PasswordRemote, TCPIPListenPort,\n"
    "CustomerInstallation), keeps backups and restarts.\n";

constexpr const char* kAdminPushRightsHelp =
    "Usage: kestrel admin push-rights FILE\n"
    "\n"
    "Sends a user-rights document (top element UserRights with Projectname and\n"
    "Folder1, Folder2, ... sections; docs/rights.md); the server rewrites those\n"
    "folders' rights files at once; users see them after the project's next scan\n"
    "(within ScanIntervallProjects minutes). \"RootFolder\" (as ls shows it) is sent as\n"
    "the document's \"Rootfolder\", \"/\" between levels as \"\\\". A project the\n"
    "server does not have is refused before anything is sent.\n";

constexpr const char* kAdminRightsHelp =
    "Usage: kestrel admin rights PROJECT\n"
    "\n"
    "Shows, from the server-logs archive, the project's users and groups and what\n"
    "each user may do in each folder at the last scan (hidden, read-only,\n"
    "read-write). The archive does not carry the rights files themselves.\n";

constexpr const char* kAdminPasswdHelp =
    "Usage: kestrel admin passwd\n"
    "\n"
    "Changes the remote administration password (current one from\n"
    "KESTREL_PASSWORD or a prompt, new one from KESTREL_NEW_PASSWORD or prompts).\n";

const Command kCommands[] = {
    {"ls", "[--json]", "your files on the server, as a tree", kLsHelp, "json", 0, 0, RunLs},
    {"get", "REMOTE [LOCAL]", "download a file (REMOTE like Docs/team.csv)", kGetHelp, "", 1, 2,
     RunGet},
    {"put", "LOCAL [REMOTE-FOLDER]", "upload a file (into the root by default)", kPutHelp, "", 1, 2,
     RunPut},
    {"rm", "REMOTE", "delete a file on the server", kRmHelp, "", 1, 1, RunRm},
    {"passwd", "", "change your password", kPasswdHelp, "", 0, 0, RunPasswd},
    {"changed", "[--json]", "has your file list changed? (exit 0 yes, 1 no)", kChangedHelp, "json",
     0, 0, RunChanged},
    {"sync", "LOCAL-DIR", "two-way synchronisation with a local folder", kSyncHelp,
     "delete dry-run settle json", 1, 1, RunSync},
    {"watch", "LOCAL-DIR", "keep a local folder synchronised", kWatchHelp, "delete interval settle",
     1, 1, RunWatch},
    {"admin logs", "[DIR]", "fetch configuration, scan results and logs", kAdminLogsHelp, "", 0, 1,
     RunAdminLogs},
    {"admin push-config", "FILE", "send a new server configuration", kAdminPushConfigHelp, "", 1, 1,
     RunAdminPushConfig},
    {"admin push-rights", "FILE", "send new user rights for a project", kAdminPushRightsHelp, "", 1,
     1, RunAdminPushRights},
    {"admin rights", "PROJECT", "what each user may do in each folder", kAdminRightsHelp, "", 1, 1,
     RunAdminRights},
    {"admin passwd", "", "change the remote administration password", kAdminPasswdHelp, "", 0, 0,
     RunAdminPasswd},
};

constexpr const char* kAdminPrefix = "admin ";

bool IsAdmin(const Command& command) {
  return std::string_view(command.name).starts_with(kAdminPrefix);
}

// One line per command: "  NAME ARGS   SUMMARY". admin: the administration
// commands without their "admin " (else every command, in groups).
std::string CommandList(bool admin_only) {
  std::string list;
  bool in_admin = false;
  for (const Command& command : kCommands) {
    if (admin_only && !IsAdmin(command)) continue;
    if (!admin_only && list.empty()) list += "Client commands:\n";
    if (!admin_only && IsAdmin(command) && !in_admin) {
      list += "Administration commands (remote administration password):\n";
      in_admin = true;
    }
    std::string head = admin_only ? command.name + std::strlen(kAdminPrefix) : command.name;
    if (*command.args != '\0') head += std::string(" ") + command.args;
    char line[160];
    std::snprintf(line, sizeof line, "  %-30s %s\n", head.c_str(), command.summary);
    list += line;
  }
  return list;
}

// The overview of every command (kestrel --help) or of the administration
// commands (kestrel admin --help); to stdout when asked for, else to stderr.
int PrintUsage(bool admin_only, bool asked) {
  FILE* out = asked ? stdout : stderr;
  std::fputs(admin_only ? kAdminUsageHead : kMainUsageHead, out);
  std::fputs("\n", out);
  std::fputs(CommandList(admin_only).c_str(), out);
  std::fputs(admin_only ? kAdminUsageTail : kMainUsageTail, out);
  std::fputs(kConnectionHelp, out);
  return asked ? kExitOk : kExitUsage;
}

constexpr const char* kGlobalOptions[] = {"server",     "project", "user",
                                          "global-key", "timeout", "quiet"};

const Command* FindCommand(const CommandLine& line, int& words) {
  for (const Command& command : kCommands) {
    const std::string name = command.name;
    const std::size_t space = name.find(' ');
    if (space == std::string::npos) {
      if (!line.words.empty() && line.words[0] == name) {
        words = 1;
        return &command;
      }
    } else if (line.words.size() >= 2 && line.words[0] == name.substr(0, space) &&
               line.words[1] == name.substr(space + 1)) {
      words = 2;
      return &command;
    }
  }
  return nullptr;
}

// Options the command does not take.
bool CheckOptions(const Command& command, const CommandLine& line) {
  const std::string allowed = std::string(" ") + command.options + " ";
  auto fits = [&](const std::string& name) {
    for (const char* global : kGlobalOptions) {
      if (name == global) return true;
    }
    return allowed.find(" " + name + " ") != std::string::npos;
  };
  for (const auto& entry : line.values) {
    if (!fits(entry.first)) {
      PrintError("option --" + entry.first + " does not apply to " + command.name);
      return false;
    }
  }
  for (const auto& entry : line.flags) {
    if (!fits(entry.first)) {
      PrintError("option --" + entry.first + " does not apply to " + command.name);
      return false;
    }
  }
  return true;
}

int Main(int argc, char** argv) {
  std::string error;
  std::optional<CommandLine> line = ParseCommandLine(argc, argv, error);
  if (!line) {
    PrintError(error + " (try kestrel --help)");
    return kExitUsage;
  }
  if (line->version) {
    std::puts(kVersion);
    return kExitOk;
  }
  if (line->words.empty() || (line->words.size() == 1 && line->words[0] == "help")) {
    return PrintUsage(false, line->help || !line->words.empty());
  }
  if (line->words[0] == "help") {
    line->words.erase(line->words.begin());
    line->help = true;
  }
  if (line->words.size() == 1 && line->words[0] == "admin") return PrintUsage(true, line->help);
  int words = 0;
  const Command* command = FindCommand(*line, words);
  if (command == nullptr) {
    PrintError("unknown command '" + line->words[0] +
               (line->words[0] == "admin" && line->words.size() > 1 ? " " + line->words[1] : "") +
               "' (try kestrel --help)");
    return kExitUsage;
  }
  line->command_words = words;
  if (line->help) {
    std::fputs(command->usage, stdout);
    std::fputs("\n", stdout);
    std::fputs(kConnectionHelp, stdout);
    return kExitOk;
  }
  const int args = ArgCount(*line);
  if (args < command->min_args || args > command->max_args) {
    PrintError(std::string("wrong number of arguments for ") + command->name);
    std::fputs(command->usage, stderr);
    return kExitUsage;
  }
  if (!CheckOptions(*command, *line)) return kExitUsage;
  Settings settings;
  if (!ResolveSettings(*line, settings, error)) {
    PrintError(error);
    return kExitUsage;
  }
  return command->run(*line, settings);
}

}  // namespace
}  // namespace kestrel::cli

int main(int argc, char** argv) {
  return kestrel::cli::Main(argc, argv);
}
