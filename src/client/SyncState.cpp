#include "client/SyncState.h"

#include <cerrno>
#include <optional>
#include <utility>

#include "client/RemotePath.h"
#include "platform/FileSystem.h"
#include "platform/SideFile.h"

namespace kestrel::client {
namespace {

constexpr std::string_view kHeader = "kestrel-sync 2";
constexpr std::string_view kHeaderVersion1 = "kestrel-sync 1";
constexpr std::string_view kUnknownDigest = "-";
constexpr std::size_t kDigestSize = 32;

// Splits off the next blank-separated field.
std::string_view NextField(std::string_view& rest) {
  const std::size_t cut = rest.find(' ');
  std::string_view field = rest.substr(0, cut);
  rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  return field;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool IsDigest(std::string_view text) {
  if (text.size() != kDigestSize) return false;
  for (const char c : text) {
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return false;
  }
  return true;
}

void FormatFiles(std::string& text, std::string_view tag,
                 const std::map<std::string, SyncedFile>& files) {
  for (const auto& [key, file] : files) {
    text += std::string(tag) + " " + std::to_string(file.size) + " " +
            std::to_string(file.local_time) + " " + std::to_string(file.remote_time) + " " +
            (file.digest.empty() ? std::string(kUnknownDigest) : file.digest) + " " + key + "\n";
  }
}

// The fields after the tag of a file or sent line; nullopt when one is bad.
std::optional<std::pair<std::string, SyncedFile>> ParseFileLine(std::string_view rest,
                                                                bool with_digest) {
  const auto size = ParseNumber(NextField(rest));
  const auto local_time = ParseNumber(NextField(rest));
  const auto remote_time = ParseNumber(NextField(rest));
  std::string digest;
  if (with_digest) {
    const std::string_view field = NextField(rest);
    if (field != kUnknownDigest && !IsDigest(field)) return std::nullopt;
    if (field != kUnknownDigest) digest = field;
  }
  if (!size || !local_time || !remote_time || !IsPlainPath(rest)) return std::nullopt;
  return std::make_pair(std::string(rest),
                        SyncedFile{*size, *local_time, *remote_time, std::move(digest)});
}

}  // namespace

std::string FormatSyncState(const SyncState& state) {
  std::string text(kHeader);
  text += "\nproject " + state.project + "\nuser " + state.user + "\n";
  FormatFiles(text, "file", state.files);
  FormatFiles(text, "sent", state.sent);
  return text;
}

std::optional<SyncState> ParseSyncState(std::string_view text) {
  SyncState state;
  bool header = false;
  bool version1 = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!header) {
      version1 = line == kHeaderVersion1;
      if (line != kHeader && !version1) return std::nullopt;
      header = true;
      continue;
    }
    if (line.empty()) continue;
    std::string_view rest = line;
    const std::string_view tag = NextField(rest);
    if (tag == "project") {
      state.project = rest;
    } else if (tag == "user") {
      state.user = rest;
    } else if (tag == "file" || (tag == "sent" && !version1)) {
      auto entry = ParseFileLine(rest, !version1);
      if (!entry) return std::nullopt;
      (tag == "file" ? state.files : state.sent)[entry->first] = std::move(entry->second);
    } else {
      return std::nullopt;
    }
  }
  if (!header) return std::nullopt;
  return state;
}

StateLoad LoadSyncState(std::string_view path, SyncState& out) {
  platform::File in;
  const int error = in.Open(path, platform::File::kRead);
  if (error == ENOENT) return StateLoad::kMissing;
  if (error != 0) return StateLoad::kDamaged;
  std::string text;
  char block[16384];
  for (;;) {
    const long n = in.Read(block, sizeof block);
    if (n < 0) return StateLoad::kDamaged;
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  std::optional<SyncState> state = ParseSyncState(text);
  if (!state) return StateLoad::kDamaged;
  out = std::move(*state);
  return StateLoad::kLoaded;
}

bool SaveSyncState(std::string_view path, const SyncState& state) {
  return platform::ReplaceFileContents(path, FormatSyncState(state)) == 0;
}

}  // namespace kestrel::client
