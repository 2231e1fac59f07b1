#pragma once
// A server configuration with one project Alpha (root .\Projects\Alpha, group
// Staff) and its user anna (password "secret"), LogLevel Info; general_extra
// goes into General.
#include <cstdint>
#include <string>

#include "support/Md5.h"

namespace kestrel::test {

inline std::string OneProjectConfig(const std::string& global_key, std::uint16_t port,
                                    const std::string& general_extra = "") {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n  <General>\n"
         "    <GlobalKey>" +
         global_key + "</GlobalKey>\n    <LogLevel>Info</LogLevel>\n" + "    <TCPIPListenPort>" +
         std::to_string(port) + "</TCPIPListenPort>\n" + general_extra +
         "  </General>\n  <Project1>\n    <Projectname>Alpha</Projectname>\n"
         "    <Rootpath>.\\Projects\\Alpha</Rootpath>\n"
         "    <Group1>\n      <Groupname>Staff</Groupname>\n    </Group1>\n"
         "    <User1>\n      <Username>anna</Username>\n      <Realname>Anna A</Realname>\n"
         "      <Password>" +
         PasswordDigest("secret") +
         "</Password>\n      <Useremail>anna@example.org</Useremail>\n"
         "      <Group1>Staff</Group1>\n    </User1>\n  </Project1>\n</KestrelServer_Config>\n";
}

}  // namespace kestrel::test
