#pragma once
// Names of project files as the protocol carries them: a folder ("RootFolder"
// for the project root, else a path below the root with "\" between levels)
// and a file name. Inside the client a file is keyed by its path below the
// root ("Docs\team.csv", "readme.txt" in the root); the root's folder key is "".
//
// A name is accepted only when every level is a plain name: not empty, not
// "." or "..", without "/", ":" or control characters. The server refuses the
// others without a reply, and a local folder must never be left through one.
#include <optional>
#include <string>
#include <string_view>

#include "support/ServerFiles.h"  // kScanRootFolderName

namespace kestrel::client {

bool IsPlainName(std::string_view level);
// Levels separated by "\", each a plain name.
bool IsPlainPath(std::string_view path);

struct RemoteName {
  std::string folder;  // "RootFolder" or "Docs\2020"
  std::string file;    // a plain name
};

// A name the user typed, in 8-bit text: "Docs\team.csv", "Docs/team.csv",
// "/readme.txt", "readme.txt" or "RootFolder\readme.txt". nullopt when a
// level is not a plain name.
std::optional<RemoteName> ParseRemoteName(std::string_view typed);
// A folder the user typed: "", "/", "RootFolder" for the root, "Docs/2020",
// "Docs\2020\". The protocol's folder name, or nullopt.
std::optional<std::string> ParseRemoteFolder(std::string_view typed);

// Folder key ("" for the root) <-> the protocol's folder name.
std::string FolderKey(std::string_view protocol_folder);
std::string ProtocolFolder(std::string_view folder_key);
// Key of a file: folder key + "\" + name ("name" in the root).
std::string JoinKey(std::string_view folder_key, std::string_view name);
// The protocol's folder and file of a key.
RemoteName SplitKey(std::string_view key);
// The folder key holding a key ("" for a file in the root).
std::string ParentKey(std::string_view key);
// The last level of a key.
std::string_view LeafName(std::string_view key);

// A remote file for messages: "Docs/team.csv", "readme.txt" in the root.
std::string ShownRemote(std::string_view folder, std::string_view file);

}  // namespace kestrel::client
