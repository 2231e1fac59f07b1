#pragma once
// The Demo project of the end-to-end client tests, served by the real
// kestrel-server in a temporary folder: users alice (groups Staff and Guests,
// password "wonderland") and bob (Guests, "builder"), readme.txt and
// Docs/team.csv in the root; with privileges, Guests may only read the root
// and Docs and may not see Secret (which holds plans.txt). The remote
// administration password is "admin".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

class DemoServer {
 public:
  DemoServer() = default;
  ~DemoServer();  // stops the server
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  // Writes the configuration and the tree, starts the server and waits for
  // its first scan (use with ASSERT_NO_FATAL_FAILURE).
  void Start(bool privileges = false);

  std::uint16_t port() const { return port_; }
  ServerProcess& process() { return *server_; }
  const TempDir& dir() const { return dir_; }
  // Native paths: below the project root, below the client's folder, below
  // a scratch folder for files that are not part of any tree.
  std::string Root(const std::string& relative) const;
  std::string Client(const std::string& relative = "") const;
  std::string Scratch(const std::string& relative = "") const;

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

std::string DemoPassword(const std::string& user);
// The document of folder rights with the groups' visible and write flags.
std::string DemoRights(bool guests_visible, bool guests_write);

// Deterministic incompressible bytes.
std::string RandomBytes(std::size_t n, unsigned seed);
// Last-write time of a native path (0 when missing), and setting it.
platform::FileTime TimeOf(const std::string& native);
void SetTime(const std::string& native, std::int64_t unix_seconds, std::int64_t nanoseconds);
// Every regular file below folder as "path=contents@time", sorted.
std::vector<std::string> Listing(const std::string& folder);

}  // namespace kestrel::test
