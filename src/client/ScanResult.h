#pragma once
// A user's scan result, read from the XML file the server sends: the folders
// the user may see with their files, last-write times and write flag, the
// folders hidden from the user, and the size of the whole project.
//
//   <Scanresult><Folder1><Foldername>RootFolder</Foldername>
//     <File1><Filename>a.txt</Filename><TimeLow>..</TimeLow><TimeHigh>..</TimeHigh>
//     <Write>true</Write></File1></Folder1>
//   <Folder2><Foldername>Secret</Foldername><Invisible>true</Invisible></Folder2>
//   <TotalSize>1234</TotalSize></Scanresult>
//
// The file carries no per-file sizes. Names are 8-bit text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace kestrel::client {

struct RemoteFile {
  std::string name;  // plain name
  platform::FileTime last_write = 0;
  bool writable = false;  // the user may write in the file's folder
};

struct RemoteFolder {
  std::string name;     // "RootFolder" or a path below the root with "\" between levels
  bool hidden = false;  // the folder exists but the user may not see it
  std::vector<RemoteFile> files;
};

struct ScanResult {
  std::vector<RemoteFolder> folders;  // in the server's walk order
  std::int64_t total_size = 0;        // bytes of all files of the project
  // Entries left out because their names could not be used safely (a level
  // ".." or with "/" or ":"), or whose fields did not parse, as "folder\file".
  std::vector<std::string> rejected;
};

struct ScanResultParse {
  bool ok = false;
  std::string error;  // why the document was not read, when !ok
  ScanResult result;
};

// Parses the document text. A document that is not XML or has another top
// element fails; single bad entries are only left out (and listed).
ScanResultParse ParseScanResult(std::string_view xml);
// The same from a file (system path).
ScanResultParse LoadScanResult(std::string_view path);

// Writes the document for a result (the server's layout), for tests and tools.
std::string FormatScanResult(const ScanResult& result);

}  // namespace kestrel::client
