#pragma once
// Exit codes of the kestrel command (documented in docs/cli.md).

namespace kestrel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNo = 1;            // `changed`: the scan result did not change
inline constexpr int kExitUsage = 2;         // bad command line
inline constexpr int kExitConnection = 3;    // no connection, no answer, time-out
inline constexpr int kExitLoginRefused = 4;  // login not accepted
inline constexpr int kExitRefused = 5;       // request refused / not found / read-only
inline constexpr int kExitLocal = 6;         // a local file or folder could not be used
inline constexpr int kExitIncomplete = 7;    // sync: some steps failed (see the messages)

}  // namespace kestrel::cli
