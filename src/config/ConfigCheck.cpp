#include "config/ConfigCheck.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "config/ConfigReader.h"
#include "logging/LogChannel.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "support/XmlStore.h"

namespace kestrel {
namespace {

namespace keys = config_keys;

// Bounds of the walk over a project tree for rights files.
constexpr std::size_t kMaxWalkedFolders = 100000;
constexpr int kMaxEditsForSuggestion = 2;
constexpr std::size_t kDigestLength = 32;

const std::array<std::string_view, 5> kBooleanKeys = {
    keys::kCustomerInstallation, keys::kActivateRemote, keys::kActivateUserPrivileges,
    keys::kLogUserActivity, keys::kDeleteEmptyFolders};
const std::array<std::string_view, 2> kIntervalKeys = {keys::kScanIntervallProjects,
                                                       keys::kScanIntervallUserrights};
const std::array<std::string_view, 3> kLimitKeys = {
    keys::kLoginGraceSeconds, keys::kMaxStartupsPerSource, keys::kMaxStartups};

std::string Quoted(std::string_view text) {
  return "'" + std::string(text) + "'";
}

bool IsOneOf(std::string_view name, std::span<const std::string_view> list) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The number of a numbered name ("User3" with prefix "User" -> 3); nullopt
// for another name.
std::optional<int> NumberOf(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view digits = name.substr(prefix.size());
  if (digits[0] == '0') return std::nullopt;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || value > 100000) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsWholeInteger(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool IsDigest(std::string_view text) {
  return text.size() == kDigestLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

int EditDistance(std::string_view a, std::string_view b) {
  std::vector<int> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    int diagonal = row[0];
    row[0] = static_cast<int>(i);
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const int above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// One checking pass over one configuration document.
class Checker {
 public:
  Checker(std::string path, ConfigCheckResult& result) : path_(std::move(path)), result_(result) {}

  void Run();

 private:
  void Fault(int line, std::string text) { Add(ConfigFinding::Kind::kFault, path_, line, text); }
  void Note(int line, std::string text) { Add(ConfigFinding::Kind::kNote, path_, line, text); }
  void Add(ConfigFinding::Kind kind, const std::string& file, int line, std::string& text) {
    result_.findings.push_back(ConfigFinding{kind, file, line, std::move(text)});
  }
  void Unknown(const CXmlStore::Child& child, std::string_view where,
               const std::vector<std::string>& known);

  void CheckGeneral();
  void CheckProjects();
  // Returns false when the section is incomplete, which ends the project list.
  bool CheckProject(int n, int line);
  std::vector<std::string> CheckProjectGroups(const std::string& tag);
  bool CheckUser(const std::string& project_tag, const std::string& projectname, int m, int line,
                 const std::vector<std::string>& declared);
  void CheckReadResult();
  void CheckRightsFiles(const ProjectRecord& project);
  void CheckRightsFile(const std::string& path);

  std::string path_;
  ConfigCheckResult& result_;
  CXmlStore store_;
  ServerConfig config_;
  ReadReport report_;
};

void Checker::Unknown(const CXmlStore::Child& child, std::string_view where,
                      const std::vector<std::string>& known) {
  std::string text =
      "unknown key " + Quoted(child.name) + " in " + std::string(where) + " is not read";
  const std::string suggestion = SuggestKey(child.name, known);
  if (!suggestion.empty()) text += " (did you mean " + Quoted(suggestion) + "?)";
  Fault(child.line, std::move(text));
}

void Checker::Run() {
  if (!store_.Load(path_)) {
    if (store_.load_error_line() == 0) {
      Fault(0, "cannot be read: the server would run with no project, on port 50000");
    } else {
      Fault(store_.load_error_line(), "not well-formed XML (" + store_.load_error() +
                                          "): the server would run with no project, on port 50000");
    }
    return;
  }
  const std::vector<CXmlStore::Child> top = store_.Children(XmlPath{});
  if (top.empty() || top.front().name != keys::kRoot) {
    Fault(top.empty() ? 0 : top.front().line,
          "the top-level element is not " + Quoted(keys::kRoot) +
              ": every setting takes its default and no project is read");
    return;
  }
  CheckGeneral();
  CheckProjects();
  ReadConfiguration(store_, config_, path_, &report_);
  CheckReadResult();
}

void Checker::CheckGeneral() {
  const XmlPath general{keys::kRoot, keys::kGeneral};
  const std::vector<std::string> known(keys::kGeneralKeys.begin(), keys::kGeneralKeys.end());
  std::set<std::string> seen;
  for (const CXmlStore::Child& child : store_.Children(general)) {
    if (!IsOneOf(child.name, keys::kGeneralKeys)) {
      Unknown(child, keys::kGeneral, known);
      continue;
    }
    if (!seen.insert(child.name).second) {
      Note(child.line, "second " + Quoted(child.name) + " in General is ignored");
      continue;
    }
    const std::string value = store_.GetString(general, child.name);
    if (value.empty()) continue;  // absent: its default
    if (IsOneOf(child.name, kBooleanKeys)) {
      const std::string upper = Upper(value);
      if (upper != "TRUE" && upper != "YES" && upper != "1" && upper != "FALSE" && upper != "NO" &&
          upper != "0") {
        Fault(child.line,
              Quoted(child.name) + " " + Quoted(value) + " reads as false (write true or false)");
      }
    } else if (child.name == keys::kLogLevel) {
      if (value != "Error" && value != "Warning" && value != "Info") {
        Fault(child.line, "LogLevel " + Quoted(value) +
                              " reads as Warning (write Error, Warning or Info, in this case)");
      }
    } else if (IsOneOf(child.name, kIntervalKeys)) {
      if (!IsWholeInteger(value)) {
        Fault(child.line, Quoted(child.name) + " " + Quoted(value) + " is not a whole number");
      } else if (store_.GetInt(general, child.name, 1) <= 0) {
        Note(child.line, Quoted(child.name) + " " + value + " wakes the projects every second");
      }
    } else if (IsOneOf(child.name, kLimitKeys)) {
      if (!IsWholeInteger(value)) {
        Fault(child.line, Quoted(child.name) + " " + Quoted(value) + " is not a whole number");
      } else if (store_.GetInt(general, child.name, 1) <= 0) {
        Note(child.line, Quoted(child.name) + " " + value + " turns this limit off");
      }
    } else if (child.name == keys::kTCPIPListenPort) {
      if (IsWholeInteger(value)) continue;  // the range is judged with the read below
      const int port = store_.GetInt(general, child.name, 0);
      if (port >= 1 && port <= kMaxPort) {
        Note(child.line, "TCPIPListenPort " + Quoted(value) + " reads as " + std::to_string(port));
      }
    } else if (child.name == keys::kPasswordRemote && !IsDigest(value)) {
      Fault(child.line,
            "PasswordRemote is not a password digest (32 lower-case hexadecimal characters): "
            "the remote tool cannot log in (set it with kestrel-server remote-password)");
    }
  }
  if (store_.GetString(general, keys::kGlobalKey).empty()) {
    Fault(store_.LineOf(XmlPath{keys::kRoot}, keys::kGeneral),
          "GlobalKey is missing or empty: the server runs with an empty key, and clients that "
          "use the built-in key cannot log in");
  }
}

void Checker::CheckProjects() {
  std::map<int, int> sections;  // number -> line
  const std::vector<std::string> known = {std::string(keys::kGeneral),
                                          std::string(keys::kProjectPrefix) + "1"};
  for (const CXmlStore::Child& child : store_.Children(XmlPath{keys::kRoot})) {
    if (child.name == keys::kGeneral) continue;
    const std::optional<int> n = NumberOf(child.name, keys::kProjectPrefix);
    if (!n) {
      Unknown(child, keys::kRoot, known);
    } else if (!sections.emplace(*n, child.line).second) {
      Note(child.line, "second " + Quoted(child.name) + " is ignored");
    }
  }
  int expected = 1;
  bool reading = true;
  for (const auto& [n, line] : sections) {
    if (n != expected) {
      if (reading) {
        Fault(line, SectionTag(keys::kProjectPrefix, n) + " and every later project are ignored: " +
                        SectionTag(keys::kProjectPrefix, expected) +
                        " is missing (sections are numbered without gaps)");
      }
      reading = false;
    }
    if (reading && !CheckProject(n, line)) {
      reading = false;
    }
    expected = n + 1;
  }
}

std::vector<std::string> Checker::CheckProjectGroups(const std::string& tag) {
  std::vector<std::string> declared;
  for (int m = 1;; ++m) {
    const std::string group_tag = SectionTag(keys::kGroupPrefix, m);
    const XmlPath group{keys::kRoot, tag, group_tag};
    const std::string name = store_.GetString(group, keys::kGroupname);
    if (name.empty()) break;
    declared.push_back(name);
    const std::vector<std::string> known = {std::string(keys::kGroupname)};
    for (const CXmlStore::Child& child : store_.Children(group)) {
      if (child.name != keys::kGroupname) Unknown(child, tag + "/" + group_tag, known);
    }
  }
  return declared;
}

bool Checker::CheckProject(int n, int line) {
  const std::string tag = SectionTag(keys::kProjectPrefix, n);
  const XmlPath section{keys::kRoot, tag};
  std::vector<std::string> known(keys::kProjectKeys.begin(), keys::kProjectKeys.end());
  known.push_back(std::string(keys::kGroupPrefix) + "1");
  known.push_back(std::string(keys::kUserPrefix) + "1");
  std::map<int, int> groups, users;
  for (const CXmlStore::Child& child : store_.Children(section)) {
    if (IsOneOf(child.name, keys::kProjectKeys)) continue;
    if (const auto g = NumberOf(child.name, keys::kGroupPrefix); g) {
      if (!child.has_elements) {
        Fault(child.line, tag + "/" + child.name +
                              " holds no Groupname element (a project's "
                              "groups are <Group1><Groupname>NAME</Groupname></Group1>)");
      }
      groups.emplace(*g, child.line);
    } else if (const auto u = NumberOf(child.name, keys::kUserPrefix); u) {
      users.emplace(*u, child.line);
    } else {
      Unknown(child, tag, known);
    }
  }
  const std::string projectname = store_.GetString(section, keys::kProjectname);
  std::string missing;
  if (projectname.empty()) missing = "Projectname";
  if (store_.GetString(section, keys::kRootpath).empty()) {
    missing += std::string(missing.empty() ? "" : " and ") + "Rootpath";
  }
  const std::vector<std::string> declared = CheckProjectGroups(tag);
  if (declared.empty()) missing += std::string(missing.empty() ? "" : " and ") + "a Group1";
  for (const auto& [g, group_line] : groups) {
    if (g > static_cast<int>(declared.size()) + 1) {
      Fault(group_line, tag + "/" + SectionTag(keys::kGroupPrefix, g) + " is ignored: " +
                            SectionTag(keys::kGroupPrefix, static_cast<int>(declared.size()) + 1) +
                            " is missing or has no Groupname");
      break;
    }
  }
  int read_users = 0;
  int expected = 1;
  for (const auto& [m, user_line] : users) {
    if (m != expected) {
      Fault(user_line, tag + "/" + SectionTag(keys::kUserPrefix, m) +
                           " and every later user are ignored: " +
                           SectionTag(keys::kUserPrefix, expected) + " is missing");
      break;
    }
    if (!CheckUser(tag, projectname, m, user_line, declared)) break;
    ++read_users;
    expected = m + 1;
  }
  if (read_users == 0) missing += std::string(missing.empty() ? "" : " and ") + "a complete User1";
  if (!missing.empty()) {
    Fault(line, tag + " lacks " + missing + ": it and every later project are ignored");
    return false;
  }
  return true;
}

bool Checker::CheckUser(const std::string& project_tag, const std::string& projectname, int m,
                        int line, const std::vector<std::string>& declared) {
  const std::string tag = SectionTag(keys::kUserPrefix, m);
  const std::string where = project_tag + "/" + tag;
  const XmlPath section{keys::kRoot, project_tag, tag};
  std::vector<std::string> known(keys::kUserKeys.begin(), keys::kUserKeys.end());
  known.push_back(std::string(keys::kGroupPrefix) + "1");
  int groups = 0;
  for (const CXmlStore::Child& child : store_.Children(section)) {
    if (IsOneOf(child.name, keys::kUserKeys)) continue;
    const std::optional<int> k = NumberOf(child.name, keys::kGroupPrefix);
    if (!k || child.has_elements) {
      Unknown(child, where, known);
      continue;
    }
    if (*k != groups + 1) {
      Fault(child.line, where + "/" + child.name + " is ignored: " +
                            SectionTag(keys::kGroupPrefix, groups + 1) + " is missing");
      continue;
    }
    const std::string group = store_.GetString(section, child.name);
    if (group.empty()) continue;
    ++groups;
    if (std::find(declared.begin(), declared.end(), group) == declared.end()) {
      std::string text = where + " is in group " + Quoted(group) + ", which project " +
                         Quoted(projectname) + " does not declare";
      const std::string suggestion = SuggestKey(group, declared);
      if (!suggestion.empty()) text += " (did you mean " + Quoted(suggestion) + "?)";
      Fault(child.line, std::move(text));
    }
  }
  std::string missing;
  for (std::string_view key : keys::kUserKeys) {
    if (store_.GetString(section, key).empty()) {
      missing += std::string(missing.empty() ? "" : ", ") + std::string(key);
    }
  }
  if (groups == 0) missing += std::string(missing.empty() ? "" : ", ") + "Group1";
  if (!missing.empty()) {
    Fault(line, where + " lacks " + missing + ": it and every later user of " + project_tag +
                    " are ignored");
    return false;
  }
  if (!IsDigest(store_.GetString(section, keys::kPassword))) {
    Fault(store_.LineOf(section, keys::kPassword),
          where +
              " Password is not a password digest: the user cannot log in (set it with "
              "kestrel-server user passwd)");
  }
  return true;
}

void Checker::CheckReadResult() {
  const XmlPath general{keys::kRoot, keys::kGeneral};
  if (report_.listen_refused) {
    const int port_line = store_.LineOf(general, keys::kTCPIPListenPort);
    const int address_line = store_.LineOf(general, keys::kTCPIPListenAddress);
    for (const std::string& error : report_.errors) {
      if (error.rfind(std::string(keys::kTCPIPListenPort), 0) == 0) Fault(port_line, error);
      if (error.rfind(std::string(keys::kTCPIPListenAddress), 0) == 0) Fault(address_line, error);
    }
  }
  for (const NameCollision& c : report_.collisions) {
    const XmlPath section{keys::kRoot, c.left_out.project_tag};
    Fault(store_.LineOf(section, c.left_out.user_tag), CollisionText(c));
  }
  const ServerSettings& settings = config_.settings;
  if (!settings.customer_installation) {
    if (!platform::IsFolder(kManagedBaseFolder)) {
      Fault(store_.LineOf(general, keys::kCustomerInstallation),
            "CustomerInstallation is off but the folder Rootfolder does not exist: the managed "
            "project roots cannot be made");
    }
    if (settings.activate_user_privileges) CheckRightsFile(kRootRightsTemplate);
    return;  // the roots are the managed ones, made at start
  }
  for (const std::unique_ptr<ProjectRecord>& project : config_.projects) {
    const int line = store_.LineOf(XmlPath{keys::kRoot, project->section_tag}, keys::kRootpath);
    const std::string shown = Quoted(project->rootpath);
    if (!platform::Exists(project->rootpath)) {
      Fault(line, "root folder " + shown + " of project " + Quoted(project->projectname) +
                      " does not exist");
    } else if (!platform::IsFolder(project->rootpath)) {
      Fault(line, "root folder " + shown + " of project " + Quoted(project->projectname) +
                      " is not a folder");
    } else if (project->user_privileges) {
      CheckRightsFiles(*project);
    }
  }
}

void Checker::CheckRightsFiles(const ProjectRecord& project) {
  const std::string root_rights = RootRightsPath(project.rootpath);
  if (!platform::Exists(root_rights)) {
    Fault(0, "project " + Quoted(project.projectname) + " has no " + kRootRightsName +
                 ": with ActivateUserPrivileges on, every folder is hidden from every user");
  }
  std::vector<std::string> pending = {project.rootpath};
  std::size_t walked = 0;
  while (!pending.empty() && walked < kMaxWalkedFolders) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    ++walked;
    std::vector<platform::DirEntry> entries;
    if (platform::ListDirectory(folder, entries) != 0) continue;
    for (const platform::DirEntry& entry : entries) {
      const std::string path = folder + "\\" + entry.name;
      if (entry.is_link) continue;
      if (entry.is_folder) {
        pending.push_back(path);
      } else if (IsRightsFileName(entry.name)) {
        CheckRightsFile(path);
      }
    }
  }
}

void Checker::CheckRightsFile(const std::string& path) {
  CXmlStore rights;
  if (rights.Load(path)) return;
  std::string text = "rights file does not parse";
  if (!rights.load_error().empty()) text += " (" + rights.load_error() + ")";
  text += ": its folder is hidden from every user";
  Add(ConfigFinding::Kind::kFault, path, rights.load_error_line(), text);
}

std::string Shown(std::string_view system_path) {
  std::string out(system_path);
  if (out.rfind(".\\", 0) == 0) out.erase(0, 2);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

}  // namespace

bool ConfigCheckResult::has_faults() const {
  return std::any_of(findings.begin(), findings.end(),
                     [](const ConfigFinding& f) { return f.kind == ConfigFinding::Kind::kFault; });
}

ConfigCheckResult CheckConfiguration(std::string_view path) {
  ConfigCheckResult result;
  Checker(std::string(path), result).Run();
  return result;
}

std::string FormatFinding(const ConfigFinding& finding) {
  std::string out = Shown(finding.file);
  if (finding.line > 0) out += ":" + std::to_string(finding.line);
  out += finding.kind == ConfigFinding::Kind::kFault ? ": error: " : ": note: ";
  out += finding.text;
  return out;
}

std::string SuggestKey(std::string_view typed, const std::vector<std::string>& known) {
  const std::string upper = Upper(typed);
  std::string best;
  int best_distance = kMaxEditsForSuggestion + 1;
  for (const std::string& candidate : known) {
    if (Upper(candidate) == upper) return candidate;
    const int distance = EditDistance(typed, candidate);
    if (distance < best_distance) {
      best_distance = distance;
      best = candidate;
    }
  }
  return best;
}

}  // namespace kestrel
