// The client commands: ls, get, put, rm, passwd, changed.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>

#include "Commands.h"
#include "ExitCodes.h"
#include "ServerLink.h"
#include "Terminal.h"
#include "client/BasicRequests.h"
#include "client/RemotePath.h"
#include "client/SyncPlan.h"
#include "client/TextCodec.h"
#include "client/Transfers.h"
#include "client/WorkFolder.h"
#include "platform/FileSystem.h"

namespace kestrel::cli {

using client::ToDisplayText;

const std::string& Arg(const CommandLine& line, int index) {
  static const std::string kNone;
  const std::size_t at = static_cast<std::size_t>(line.command_words + index);
  return at < line.words.size() ? line.words[at] : kNone;
}

int ArgCount(const CommandLine& line) {
  return static_cast<int>(line.words.size()) - line.command_words;
}

std::optional<std::string> LocalSystemPath(const std::string& native) {
  std::optional<std::string> system = platform::SystemName(native);
  if (!system) {
    PrintError("the local path '" + native +
               "' holds a backslash or characters above U+00FF, which this client cannot use");
  }
  return system;
}

int ExitCodeOf(client::TransferStatus status) {
  switch (status) {
    case client::TransferStatus::kDone:
      return kExitOk;
    case client::TransferStatus::kNotFound:
    case client::TransferStatus::kRefused:
    case client::TransferStatus::kTooLong:
      return kExitRefused;
    case client::TransferStatus::kNoReply:
    case client::TransferStatus::kNotReady:
      return kExitConnection;
    case client::TransferStatus::kLocal:
    case client::TransferStatus::kDamaged:
    case client::TransferStatus::kChanged:
      return kExitLocal;
  }
  return kExitLocal;
}

int ReportTransfer(const client::TransferResult& result) {
  if (!result.ok()) PrintError(result.message);
  return ExitCodeOf(result.status);
}

std::string LocalTimeText(platform::FileTime time) {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  platform::UnixFromFileTime(time, seconds, nanoseconds);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  char text[40] = "?";
  if (localtime_r(&t, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string UtcTimeText(platform::FileTime time) {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  platform::UnixFromFileTime(time, seconds, nanoseconds);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char text[40] = "?";
  if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

namespace {

// Logs in as a client, asking for the password as needed. An exit code.
int LoginClient(ServerLink& link, const Settings& settings) {
  std::string error;
  const std::optional<std::string> password = ObtainPassword(
      "Password for " + ToDisplayText(settings.user) + "@" + ToDisplayText(settings.project) + ": ",
      error);
  if (!password) {
    PrintError(error);
    return kExitUsage;
  }
  return link.LoginClient(*password);
}

// The user's typed remote name as the protocol's folder and file.
std::optional<client::RemoteName> RemoteNameArg(const std::string& typed) {
  std::optional<std::string> system = client::ToSystemText(typed);
  std::optional<client::RemoteName> name = system ? client::ParseRemoteName(*system) : std::nullopt;
  if (!name) {
    PrintError("'" + typed +
               "' is not a usable remote name (levels must not be empty, \".\" or \"..\", "
               "nor hold \":\" or control characters)");
  }
  return name;
}

std::size_t DisplayWidth(const std::string& utf8) {
  std::size_t width = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

// ---- ls ----------------------------------------------------------------------

struct TreeNode {
  bool listed = false;
  bool hidden = false;
  bool writable = false;
  std::vector<const client::RemoteFile*>
      files;  // borrowed from the scan result, which outlives the tree
  std::map<std::string, TreeNode> children;  // by level name
};

TreeNode BuildTree(const client::ScanResult& result) {
  TreeNode root;
  for (const client::RemoteFolder& folder : result.folders) {
    TreeNode* node = &root;
    std::string rest = client::FolderKey(folder.name);
    while (!rest.empty()) {
      const std::size_t cut = rest.find('\\');
      node = &node->children[rest.substr(0, cut)];
      rest = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
    }
    node->listed = true;
    node->hidden = folder.hidden;
    node->writable = !folder.hidden && !folder.files.empty();
    for (const client::RemoteFile& file : folder.files) {
      node->files.push_back(&file);
      node->writable = node->writable && file.writable;
    }
  }
  return root;
}

const char* Marker(const TreeNode& node) {
  if (!node.listed) return "";
  if (node.hidden) return "(hidden)";
  return node.writable ? "(read-write)" : "(read-only)";
}

struct TreeLine {
  std::string text;  // tree drawing and name
  std::string note;  // time or folder marker
};

void Collect(const TreeNode& node, const std::string& indent, std::vector<TreeLine>& lines) {
  std::size_t left = node.files.size() + node.children.size();
  for (const client::RemoteFile* file : node.files) {
    const bool last = --left == 0;
    lines.push_back({indent + (last ? "└── " : "├── ") + ToDisplayText(file->name),
                     LocalTimeText(file->last_write)});
  }
  for (const auto& [name, child] : node.children) {
    const bool last = --left == 0;
    lines.push_back({indent + (last ? "└── " : "├── ") + ToDisplayText(name) + "/", Marker(child)});
    Collect(child, indent + (last ? "    " : "│   "), lines);
  }
}

void PrintTree(const client::ScanResult& result, const Settings& settings) {
  const TreeNode root = BuildTree(result);
  std::vector<TreeLine> lines;
  lines.push_back({"/", Marker(root)});
  Collect(root, "", lines);
  std::size_t width = 0;
  for (const TreeLine& line : lines) width = std::max(width, DisplayWidth(line.text));
  width = std::min<std::size_t>(width, 60);
  std::printf("Project %s, user %s, server %s:%u\n", ToDisplayText(settings.project).c_str(),
              ToDisplayText(settings.user).c_str(), settings.host.c_str(), settings.port);
  for (const TreeLine& line : lines) {
    const std::size_t used = DisplayWidth(line.text);
    std::printf("%s%s  %s\n", line.text.c_str(),
                std::string(used < width ? width - used : 0, ' ').c_str(), line.note.c_str());
  }
  std::size_t files = 0;
  for (const client::RemoteFolder& folder : result.folders) files += folder.files.size();
  std::printf(
      "%zu file%s visible; all files of the project: %s (%lld bytes)\n", files,
      files == 1 ? "" : "s",
      HumanSize(static_cast<std::uint64_t>(std::max<std::int64_t>(0, result.total_size))).c_str(),
      static_cast<long long>(result.total_size));
}

void PrintJson(const client::ScanResult& result, const Settings& settings) {
  using client::JsonQuoted;
  std::string out = "{\"project\":" + JsonQuoted(ToDisplayText(settings.project)) +
                    ",\"user\":" + JsonQuoted(ToDisplayText(settings.user)) +
                    ",\"total_size\":" + std::to_string(result.total_size) + ",\"folders\":[";
  bool first_folder = true;
  for (const client::RemoteFolder& folder : result.folders) {
    const std::string key = client::FolderKey(folder.name);
    bool writable = !folder.hidden && !folder.files.empty();
    for (const client::RemoteFile& file : folder.files) writable = writable && file.writable;
    out += first_folder ? "" : ",";
    first_folder = false;
    out += "{\"name\":" + JsonQuoted(ToDisplayText(folder.name)) +
           ",\"path\":" + JsonQuoted(Shown(key)) +
           ",\"hidden\":" + (folder.hidden ? "true" : "false") +
           ",\"writable\":" + (writable ? "true" : "false") + ",\"files\":[";
    bool first_file = true;
    for (const client::RemoteFile& file : folder.files) {
      out += first_file ? "" : ",";
      first_file = false;
      out += "{\"name\":" + JsonQuoted(ToDisplayText(file.name)) +
             ",\"path\":" + JsonQuoted(Shown(client::JoinKey(key, file.name))) +
             ",\"last_write\":" + JsonQuoted(UtcTimeText(file.last_write)) +
             ",\"filetime\":" + std::to_string(file.last_write) +
             ",\"writable\":" + (file.writable ? "true" : "false") + "}";
    }
    out += "]}";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

// The file's entry in the scan result, or nullptr.
const client::RemoteFile* FindFile(const client::ScanResult& result,
                                   const client::RemoteName& name) {
  for (const client::RemoteFolder& folder : result.folders) {
    if (folder.name != name.folder) continue;
    for (const client::RemoteFile& file : folder.files) {
      if (file.name == name.file) return &file;
    }
  }
  return nullptr;
}

// What get, put, rm and ls start with: a client login, a scratch folder and
// the user's scan result. Open() gives an exit code.
class ClientContext {
 public:
  explicit ClientContext(const Settings& settings)
      : server(settings), transfers(server.link(), work) {}

  int Open(const Settings& settings) {
    if (const int code = LoginClient(server, settings); code != kExitOk) return code;
    if (!work.ok()) {
      PrintError("cannot create a temporary folder");
      return kExitLocal;
    }
    if (const client::TransferResult fetched = transfers.FetchScanResult(result); !fetched) {
      PrintError(fetched.message);
      return server.connection().connected() ? kExitRefused : kExitConnection;
    }
    for (const std::string& name : result.rejected) {
      PrintWarning("the scan result names an entry that is not used: " + Shown(name));
    }
    return kExitOk;
  }

  ServerLink server;
  client::WorkFolder work;
  client::Transfers transfers;
  client::ScanResult result;
};

}  // namespace

int RunLs(const CommandLine& line, const Settings& settings) {
  ClientContext context(settings);
  if (const int code = context.Open(settings); code != kExitOk) return code;
  const client::ScanResult* result = &context.result;
  if (line.flags.count("json") != 0) {
    PrintJson(*result, settings);
  } else {
    PrintTree(*result, settings);
  }
  return kExitOk;
}

int RunGet(const CommandLine& line, const Settings& settings) {
  const std::optional<client::RemoteName> name = RemoteNameArg(Arg(line, 0));
  if (!name) return kExitUsage;
  std::string local_native = ArgCount(line) > 1 ? Arg(line, 1) : ToDisplayText(name->file);
  if (platform::IsFolder(platform::SystemName(local_native).value_or(""))) {
    if (!local_native.ends_with('/')) local_native += '/';
    local_native += ToDisplayText(name->file);
  }
  const std::optional<std::string> target = LocalSystemPath(local_native);
  if (!target) return kExitUsage;
  // Found before the server packs the file, not after it arrived.
  const std::size_t slash = target->rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : target->substr(0, slash);
  if (!platform::IsFolder(folder)) {
    PrintError("cannot write " + local_native + ": the folder " + Shown(folder) +
               " does not exist");
    return kExitLocal;
  }

  ClientContext context(settings);
  if (const int code = context.Open(settings); code != kExitOk) return code;
  client::Transfers& transfers = context.transfers;
  const client::ScanResult* result = &context.result;
  const std::string shown = ShownRemote(name->folder, name->file);
  const client::RemoteView view(*result);
  if (view.Access(client::FolderKey(name->folder)).hidden) {
    PrintError("refused: the folder of " + shown + " is hidden from you");
    return kExitRefused;
  }
  const client::RemoteFile* listed = FindFile(*result, *name);
  std::optional<platform::FileTime> time;
  if (listed != nullptr) time = listed->last_write;
  TransferLine progress(settings.progress, "get " + shown);
  const client::TransferResult got_file =
      transfers.Download(name->folder, name->file, *target, time, &progress);
  if (!got_file) return ReportTransfer(got_file);
  if (listed == nullptr) {
    PrintWarning(shown +
                 " is not in your scan result yet; its time comes from the archive (2 s steps)");
  }
  platform::DirEntry got;
  (void)platform::Stat(*target, got);
  std::printf("downloaded %s -> %s (%llu bytes)\n", shown.c_str(), local_native.c_str(),
              static_cast<unsigned long long>(got.size));
  return kExitOk;
}

int RunPut(const CommandLine& line, const Settings& settings) {
  const std::string& local_native = Arg(line, 0);
  const std::optional<std::string> source = LocalSystemPath(local_native);
  if (!source) return kExitUsage;
  platform::DirEntry entry;
  if (platform::Stat(*source, entry) != 0 || entry.is_folder) {
    PrintError("'" + local_native + "' is not a readable file");
    return kExitLocal;
  }
  const std::size_t slash = source->rfind('/');
  const std::string file = slash == std::string::npos ? *source : source->substr(slash + 1);
  if (!client::IsPlainName(file)) {
    PrintError("the server does not accept the file name '" + ToDisplayText(file) + "'");
    return kExitUsage;
  }
  if (file[0] == '~') {
    PrintError("names beginning with \"~\" are never listed by the server; rename the file");
    return kExitUsage;
  }
  std::optional<std::string> folder_text = client::ToSystemText(Arg(line, 1));
  std::optional<std::string> folder =
      folder_text ? client::ParseRemoteFolder(*folder_text) : std::nullopt;
  if (!folder) {
    PrintError("'" + Arg(line, 1) + "' is not a usable remote folder");
    return kExitUsage;
  }

  ClientContext context(settings);
  if (const int code = context.Open(settings); code != kExitOk) return code;
  ServerLink& link = context.server;
  client::Transfers& transfers = context.transfers;
  const client::ScanResult* result = &context.result;
  const std::string shown_folder = *folder == kScanRootFolderName ? "/" : Shown(*folder);
  const client::FolderAccess access =
      client::RemoteView(*result).Access(client::FolderKey(*folder));
  if (access.hidden) {
    PrintError("refused: the folder " + shown_folder + " is hidden from you");
    return kExitRefused;
  }
  if (!access.writable) {
    PrintError("refused: the folder " + shown_folder + " is read-only for you");
    return kExitRefused;
  }
  const std::string shown = ShownRemote(*folder, file);
  TransferLine progress(settings.progress, "put " + shown);
  const client::TransferResult sent =
      transfers.Upload(*source, *folder, file, std::nullopt, &progress);
  if (!sent) return ReportTransfer(sent);
  // Logging out makes the server rescan the project, so the file shows up.
  const int logout = link.Logout();
  std::printf("uploaded %s -> %s (%llu bytes)\n", local_native.c_str(), shown.c_str(),
              static_cast<unsigned long long>(entry.size));
  return logout;
}

int RunRm(const CommandLine& line, const Settings& settings) {
  const std::optional<client::RemoteName> name = RemoteNameArg(Arg(line, 0));
  if (!name) return kExitUsage;
  ClientContext context(settings);
  if (const int code = context.Open(settings); code != kExitOk) return code;
  ServerLink& link = context.server;
  client::Transfers& transfers = context.transfers;
  const client::ScanResult* result = &context.result;
  const std::string shown = ShownRemote(name->folder, name->file);
  const client::RemoteFile* listed = FindFile(*result, *name);
  if (listed == nullptr && client::RemoteView(*result).HasFolder(
                               client::JoinKey(client::FolderKey(name->folder), name->file))) {
    PrintError(shown +
               " is a folder; rm deletes files (the server removes an empty folder "
               "itself when DeleteEmptyFolders is on)");
    return kExitRefused;
  }
  if (listed == nullptr) {
    PrintError("not found in your scan result: " + shown);
    return kExitRefused;
  }
  if (!listed->writable) {
    PrintError("refused: the folder of " + shown + " is read-only for you");
    return kExitRefused;
  }
  if (const client::TransferResult deleted = transfers.Delete(name->folder, name->file); !deleted) {
    return ReportTransfer(deleted);
  }
  const int logout = link.Logout();
  std::printf("deleted %s\n", shown.c_str());
  return logout;
}

bool ObtainPasswordChange(const std::string& prompt, std::string& old_password,
                          std::string& new_password) {
  std::string error;
  std::optional<std::string> typed = ObtainPassword(prompt, error);
  if (typed) {
    old_password = *typed;
    typed = ObtainNewPassword(error);
  }
  if (!typed) {
    PrintError(error);
    return false;
  }
  new_password = *typed;
  return true;
}

int ReportPasswordChange(ServerLink& link, client::PasswordChange change,
                         const std::string& done_message) {
  switch (change) {
    case client::PasswordChange::kChanged:
      std::printf("%s\n", done_message.c_str());
      return kExitOk;
    case client::PasswordChange::kRefused:
      PrintError("the server refused the password change");
      return kExitRefused;
    case client::PasswordChange::kNoReply:
      break;
  }
  PrintError(link.NoReply("the password change") + " (is the new password too long?)");
  return kExitConnection;
}

int RunPasswd(const CommandLine&, const Settings& settings) {
  std::string old_password, new_password;
  if (!ObtainPasswordChange("Current password for " + ToDisplayText(settings.user) + "@" +
                                ToDisplayText(settings.project) + ": ",
                            old_password, new_password)) {
    return kExitUsage;
  }
  ServerLink link(settings);
  if (const int code = link.LoginClient(old_password); code != kExitOk) return code;
  return ReportPasswordChange(link,
                              link.session().ChangeUserPassword(old_password, new_password,
                                                                settings.user, settings.project),
                              "password of " + ToDisplayText(settings.user) + " changed");
}

int RunChanged(const CommandLine& line, const Settings& settings) {
  const bool json = line.flags.count("json") != 0;
  ServerLink link(settings);
  if (const int code = LoginClient(link, settings); code != kExitOk) return code;
  switch (client::ScanResultChanged(link.connection())) {
    case client::YesNo::kYes:
      std::puts(json ? "{\"changed\":true}" : "changed");
      return kExitOk;
    case client::YesNo::kNo:
      std::puts(json ? "{\"changed\":false}" : "unchanged");
      return kExitNo;
    case client::YesNo::kNoReply:
      break;
  }
  PrintError(link.NoReply("the question whether the scan result changed"));
  return kExitConnection;
}

}  // namespace kestrel::cli
