#pragma once
// Reads a whole zip archive back with the zip library, for tests that check
// what the server packed.
#include <string>
#include <vector>

namespace kestrel::test {

struct ZipEntry {
  std::string name;
  std::string data;
};

// Every entry in archive order; false when an entry does not read back whole
// (the zip library checks each entry's CRC).
bool ReadZip(const std::string& path, std::vector<ZipEntry>& out);

}  // namespace kestrel::test
