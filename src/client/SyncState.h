#pragma once
// What the last synchronisation of a local folder left behind: for every file
// that was the same on both sides, its size, the last-write times of the
// local copy and of the server's copy and the digest of its contents; and for
// every upload that the server's scan had not yet shown, the same of what was
// sent. Kept as a small text file in the local folder ("LOCAL-DIR/.kestrel-sync"):
//
//   kestrel-sync 2
//   project Demo
//   user alice
//   file <size> <local time> <server time> <digest> <path below the root, "\" between levels>
//   sent <size> <local time> <announced time> <digest> <path>
//
// Times are file times (100 ns units since 1601, UTC); a digest is 32
// lower-case hex digits (MD5 of the bytes), "-" when unknown. Names are 8-bit
// text. Version 1 files (file lines without digest, no sent lines) still load.
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
  std::string digest = {};  // of the contents; empty when unknown
  bool operator==(const SyncedFile&) const = default;
};

struct SyncState {
  std::string project;
  std::string user;
  std::map<std::string, SyncedFile> files;      // by key ("Docs\team.csv")
  std::map<std::string, SyncedFile> sent = {};  // uploads not yet confirmed, by key
  bool operator==(const SyncState&) const = default;
};

std::string FormatSyncState(const SyncState& state);
// nullopt when the text is not a state file of a known version.
std::optional<SyncState> ParseSyncState(std::string_view text);

enum class StateLoad { kLoaded, kMissing, kDamaged };
// path: system path of the state file.
StateLoad LoadSyncState(std::string_view path, SyncState& out);
// Written beside it and renamed over it (platform/SideFile.h). False on failure.
bool SaveSyncState(std::string_view path, const SyncState& state);

}  // namespace kestrel::client
