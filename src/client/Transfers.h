#pragma once
// The transfers of a logged-in link, each with a message for the user when
// it fails: the user's scan result, one file down (with the server's
// last-write time), one file up, one deletion, and the remote tool's
// server-logs archive. Archives are staged in a work folder.
//
// Threads: used by one thread at a time, like its link.
#include <optional>
#include <string>
#include <string_view>

#include "client/ClientLink.h"
#include "client/ScanResult.h"
#include "client/Transfer.h"
#include "client/WorkFolder.h"
#include "platform/Clock.h"

namespace kestrel::client {

class Transfers {
 public:
  // link: borrowed, logged in, must outlive this object.
  // work: borrowed, the staging folder, must outlive this object.
  Transfers(ClientLink& link, const WorkFolder& work) : link_(link), work_(work) {}

  // The user's scan result into out (names it could not use are listed in
  // out.rejected).
  TransferResult FetchScanResult(ScanResult& out);
  // folder/file as the protocol names them; target: system path. With a
  // remote time the target gets it as last-write time, else the archive's.
  // observer: borrowed for the call, may be null.
  TransferResult Download(std::string_view folder, std::string_view file, std::string_view target,
                          std::optional<platform::FileTime> remote_time,
                          TransferObserver* observer);
  // source: system path; announces `announce`, else its last-write time
  // (in sent_time).
  TransferResult Upload(std::string_view source, std::string_view folder, std::string_view file,
                        std::optional<platform::FileTime> announce, TransferObserver* observer);
  // 0x34; the server acknowledges also files that are not there.
  TransferResult Delete(std::string_view folder, std::string_view file);
  // Remote tool: the server-logs archive into the file archive (system path).
  TransferResult FetchServerLogs(std::string_view archive, TransferObserver* observer);

 private:
  std::string Staged(const char* kind);

  ClientLink& link_;        // borrowed, outlives this object
  const WorkFolder& work_;  // borrowed, outlives this object
  int serial_ = 0;
};

}  // namespace kestrel::client
