#pragma once
// The shape rules of the packet catalogue: what payload each request type
// needs and which login. The session checks frame, shape and login once,
// before it calls a request handler; handlers never repeat these checks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "net/Frame.h"
#include "platform/Directory.h"
#include "session/ProjectPath.h"

namespace kestrel {

enum class PayloadRule : std::uint8_t {
  kEmpty,       // no payload
  kEcho,        // exactly the two bytes CC 33 (ping, logout)
  kKeyBlock,    // exactly 16 bytes (get session key)
  kRecord,      // an encrypted request record: at least one byte
  kUploadData,  // 5 bytes with a bulk block (upload chunk), or empty (upload end)
  // Encrypted records naming a file of the client's project (folder, file
  // name), checked by the session before the handler runs (ProjectFileCheck.cpp).
  kProjectRead,    // download: the folder must be visible to the user
  kProjectWrite,   // delete: the folder must be writable
  kProjectUpload,  // upload: writable; the names follow a 16-byte fixed part
};

enum class LoginRule : std::uint8_t {
  kNone,
  kClient,                  // a client program is logged in
  kRemote,                  // the remote administration tool is logged in
  kClientUnlessServerLogs,  // a client, except while the server logs are sent
};

// The project file a request names, after the session's checks. The views
// point into the session's decrypted record and are valid during the handler.
struct ProjectFileRequest {
  std::string_view folder;              // as requested: "RootFolder" or a path below the root
  std::string_view file_name;           // as requested
  ProjectTarget target;                 // the checked names below the project root
  const std::uint8_t* fixed = nullptr;  // the record's fixed part (upload), else null
  // The target's folder, resolved beneath the project root without following
  // a link; not open when it does not exist (yet).
  platform::Directory folder_handle;
};

// One complete, valid request frame as handed to a handler.
struct Request {
  PacketType type{};
  std::span<const std::uint8_t> payload;
  // The 1280-byte bulk block of upload data, else null.
  const std::uint8_t* block = nullptr;
  // The checked project file of the kProject... payload rules, else null.
  const ProjectFileRequest* project_file = nullptr;
};

bool PayloadFits(PayloadRule rule, std::span<const std::uint8_t> payload);
bool NamesProjectFile(PayloadRule rule);

}  // namespace kestrel
