// Per-user file names that two users could share. A user's scan result is
// ".\Config\Scanresult_<project>_<user>.xml" and its transfer archives are
// ".\Temp\<project>_<user>_<n>.zip": nothing in the names is escaped, so
// project "a_b" with user "c" and project "a" with user "b_c" would share
// every file. The configuration read keeps the first of such pairs in file
// order and leaves the later ones out, so no file is ever shared.
//
// Threads: main window thread (at every start), or a tool with its own copy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigModel.h"

namespace kestrel {

// The part of every per-user file name that project and user give: "a_b_c".
std::string FileNameStem(std::string_view project_name, std::string_view user_name);

// One (project, user) pair, named by its texts and its section tags.
struct UserPair {
  std::string projectname;
  std::string username;
  std::string project_tag;  // "Project%d"
  std::string user_tag;     // "User%d"
};

struct NameCollision {
  UserPair kept;         // the earlier pair in file order
  UserPair left_out;     // the later pair, removed from its project
  bool project_emptied;  // left_out's project has no user any more
};

// Removes every user whose FileNameStem equals that of an earlier user (in
// project order, then user order) and returns what it removed. A project
// that loses its last user keeps running without users: nobody can log in
// to it, its handler still scans it and its root folder stays claimed.
[[nodiscard]] std::vector<NameCollision> LeaveOutCollidingUsers(ServerConfig& config);

// The Error line for a collision, naming both pairs.
std::string CollisionText(const NameCollision& collision);
// The Error line for a project that lost its last user to collisions.
std::string EmptiedProjectText(const NameCollision& collision);

}  // namespace kestrel
