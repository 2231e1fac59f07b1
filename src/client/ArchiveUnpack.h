#pragma once
// Unpacks an archive whose entries are bare file names (the server-logs
// archive) into one folder, each entry under its own name. Entry names that
// are not plain names (folders, "..", "/", ":", control characters) are never
// used as paths: those entries are skipped and reported.
#include <string>
#include <string_view>
#include <vector>

#include "support/ZipArchive.h"

namespace kestrel::client {

struct UnpackResult {
  bool ok = false;                   // the archive was read to its end without damage
  std::string error;                 // when !ok
  std::vector<std::string> written;  // entry names, in archive order
  std::vector<std::string> skipped;  // entry names not used
};

// archive, folder: system paths; the folder must exist. Each entry replaces a
// file of the same name only once it is complete and checked (ExtractEntries).
UnpackResult UnpackArchive(std::string_view archive, std::string_view folder);

// Why an archive did not unpack, for the user ("the archive data is damaged").
const char* ExtractFailureText(ExtractFailure failure);

}  // namespace kestrel::client
