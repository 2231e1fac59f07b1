#pragma once
// What the last synchronisation of a local folder left behind: for every file
// that was the same on both sides, its size and the last-write times of the
// local copy and of the server's copy. Kept as a small text file in the local
// folder ("LOCAL-DIR/.kestrel-sync"):
//
//   kestrel-sync 1
//   project Demo
//   user alice
//   file <size> <local time> <server time> <path below the root, "\" between levels>
//
// Times are file times (100 ns units since 1601, UTC). Names are 8-bit text.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace kestrel::client {

inline constexpr std::string_view kSyncStateFileName = ".kestrel-sync";

struct SyncedFile {
  std::uint64_t size = 0;
  platform::FileTime local_time = 0;
  platform::FileTime remote_time = 0;
  bool operator==(const SyncedFile&) const = default;
};

struct SyncState {
  std::string project;
  std::string user;
  std::map<std::string, SyncedFile> files;  // by key ("Docs\team.csv")
  bool operator==(const SyncState&) const = default;
};

std::string FormatSyncState(const SyncState& state);
// nullopt when the text is not a state file of this version.
std::optional<SyncState> ParseSyncState(std::string_view text);

enum class StateLoad { kLoaded, kMissing, kDamaged };
// path: system path of the state file.
StateLoad LoadSyncState(std::string_view path, SyncState& out);
// Written beside it and renamed over it (platform/SideFile.h). False on failure.
bool SaveSyncState(std::string_view path, const SyncState& state);

}  // namespace kestrel::client
