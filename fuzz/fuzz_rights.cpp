// Fuzzes a rights file: the scan's reader takes the bytes as a folder's
// rights file, for a project whose users sit in several groups; the rights
// copy then propagates it to a subfolder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "config/ConfigModel.h"
#include "platform/Directory.h"
#include "projects/UserRights.h"
#include "support/XmlStore.h"

namespace {

struct Project {
  Project() {
    root = kestrel::fuzz::EnterWorkFolder() + "/Projects/Rights";
    std::filesystem::create_directories(root + "/Sub");
    record.projectname = "Rights";
    record.rootpath = root;
    record.user_privileges = true;
    const char* groups[][2] = {{"Staff", nullptr},
                               {"Guests", nullptr},
                               {"Staff", "Guests"},
                               {"staff", nullptr},
                               {"Group1", "Visible"}};
    int number = 0;
    for (const auto& pair : groups) {
      auto user = std::make_unique<kestrel::UserRecord>();
      user->username = "user" + std::to_string(++number);
      for (const char* group : pair) {
        if (group != nullptr) user->groups.push_back(kestrel::GroupNode{group});
      }
      record.users.push_back(std::move(user));
    }
    record.groups.push_back(kestrel::GroupNode{"Staff"});
    if (folder.Open(root) != 0) __builtin_trap();
  }
  std::string root;
  kestrel::ProjectRecord record;
  kestrel::platform::Directory folder;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  static Project project;
  fuzz::WriteBytes(project.root + "/~Sub.xml", data, size);

  CXmlStore store;
  projects::FolderRightsReader reader(project.record, store);
  std::vector<std::uint8_t> access;
  (void)reader.Read(project.folder, "~Sub.xml", access);
  if (access.size() != project.record.users.size()) __builtin_trap();
  (void)projects::CopyRightsFile(project.folder, "~Sub.xml", project.folder, "~Copy.xml", true);
  return 0;
}
