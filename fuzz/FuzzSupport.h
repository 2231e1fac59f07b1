#pragma once
// What every fuzz harness shares: a working folder of its own (the server
// works from its current directory), made current for the process's life and
// removed at exit, and small file helpers.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrel::fuzz {

// Creates a fresh folder below the system's temporary folder with Config,
// Temp and logs in it and makes it the current directory; removed at exit.
// Returns its path. Calls after the first return the same folder.
const std::string& EnterWorkFolder();

// Replaces the file at path (a native path) with the bytes.
void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size);
inline void WriteText(const std::string& path, std::string_view text) {
  WriteBytes(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A rights file that gives each group the two flags ("true"/"false").
std::string RightsXml(std::initializer_list<std::string_view> groups_visible_write);

}  // namespace kestrel::fuzz
