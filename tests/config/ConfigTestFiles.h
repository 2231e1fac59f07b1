#pragma once
// Helpers shared by the configuration tests: fixture paths, whole-file text
// and a one-line-per-record picture of the project list.
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigModel.h"

namespace kestrel::test {

// Path of a fixture under tests/data/config/ (a system path: ASCII, "/" only).
inline std::string ConfigFixture(std::string_view name) {
  std::string path = KESTREL_SOURCE_DIR "/tests/data/config/";
  path += name;
  return path;
}

// Whole contents of a file; "" when it cannot be opened.
inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool WriteFileText(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out);
}

// Replaces the first occurrence of from; the text is unchanged when absent.
inline std::string ReplaceFirst(std::string text, std::string_view from, std::string_view to) {
  auto pos = text.find(from);
  if (pos != std::string::npos) text.replace(pos, from.size(), to);
  return text;
}

inline std::string JoinGroups(const std::vector<GroupNode>& groups) {
  std::string out;
  for (const GroupNode& group : groups) {
    if (!out.empty()) out += ',';
    out += group.name;
  }
  return out;
}

// "Project1 Alpha C:\Data\Alpha privileges=1 groups=Staff,Guests" and per user
// "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff".
inline std::string DescribeProjects(const ServerConfig& config) {
  std::string out;
  for (const auto& project : config.projects) {
    out += project->section_tag + " " + project->projectname + " " + project->rootpath +
           " privileges=" + (project->user_privileges ? "1" : "0") +
           " groups=" + JoinGroups(project->groups) + "\n";
    for (const auto& user : project->users) {
      out += "  " + user->user_tag + "/" + user->project_tag + " " + user->username + "|" +
             user->realname + "|" + user->password.Get() + "|" + user->useremail +
             " groups=" + JoinGroups(user->groups) + "\n";
    }
  }
  return out;
}

}  // namespace kestrel::test
