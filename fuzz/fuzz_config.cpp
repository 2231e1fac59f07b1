// Fuzzes the configuration file: the server's reading pass and the
// administrator's check read the same bytes as ".\Config\KestrelServer.xml".
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "config/ConfigCheck.h"
#include "config/ConfigModel.h"
#include "config/ConfigReader.h"
#include "platform/FileSystem.h"
#include "support/XmlStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel;
  static const std::string path = fuzz::EnterWorkFolder() + "/Config/KestrelServer.xml";
  fuzz::WriteBytes(path, data, size);

  CXmlStore store;
  ServerConfig config;
  ReadReport report;
  ReadConfiguration(store, config, kConfigFilePath, &report);
  // What was read must hold the model's promises (a project may lose all
  // its users to name collisions, and is then reported, not dropped).
  for (const auto& project : config.projects) {
    if (project->projectname.empty() || project->rootpath.empty() || project->groups.empty()) {
      __builtin_trap();
    }
    for (const auto& user : project->users) {
      if (user->groups.empty()) __builtin_trap();
    }
  }
  const ConfigCheckResult check = CheckConfiguration(kConfigFilePath);
  for (const ConfigFinding& finding : check.findings) (void)FormatFinding(finding);
  return 0;
}
