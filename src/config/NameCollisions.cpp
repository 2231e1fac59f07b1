#include "config/NameCollisions.h"

#include <unordered_map>

#include "logging/LogChannel.h"

namespace kestrel {
namespace {

UserPair PairOf(const ProjectRecord& project, const UserRecord& user) {
  return UserPair{project.projectname, user.username, project.section_tag, user.user_tag};
}

}  // namespace

std::string FileNameStem(std::string_view project_name, std::string_view user_name) {
  std::string stem(project_name);
  stem += '_';
  stem += user_name;
  return stem;
}

std::vector<NameCollision> LeaveOutCollidingUsers(ServerConfig& config) {
  std::vector<NameCollision> found;
  std::unordered_map<std::string, UserPair> first_by_stem;
  for (const std::unique_ptr<ProjectRecord>& project : config.projects) {
    auto& users = project->users;
    for (auto it = users.begin(); it != users.end();) {
      const std::string stem = FileNameStem(project->projectname, (*it)->username);
      const auto [earlier, fresh] = first_by_stem.try_emplace(stem, PairOf(*project, **it));
      if (fresh) {
        ++it;
        continue;
      }
      found.push_back(NameCollision{earlier->second, PairOf(*project, **it), false});
      it = users.erase(it);
      found.back().project_emptied = users.empty();
    }
  }
  return found;
}

std::string CollisionText(const NameCollision& c) {
  return StringPrintf(
      "user '%s' of project '%s' left out: its file names (Scanresult_%s.xml) are those of "
      "user '%s' of project '%s'",
      c.left_out.username.c_str(), c.left_out.projectname.c_str(),
      FileNameStem(c.left_out.projectname, c.left_out.username).c_str(), c.kept.username.c_str(),
      c.kept.projectname.c_str());
}

std::string EmptiedProjectText(const NameCollision& c) {
  return StringPrintf("project '%s' has no user left: nobody can log in to it",
                      c.left_out.projectname.c_str());
}

}  // namespace kestrel
