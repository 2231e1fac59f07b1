#pragma once
// The transfers of the client commands over a logged-in link: the user's
// scan result, one file down (with the server's last-write time) and one file
// up (announcing the local last-write time), with a progress line. Archives
// are staged in a private temporary folder.
#include <cstdint>
#include <optional>
#include <string>

#include "ServerLink.h"
#include "client/ScanResult.h"
#include "platform/Clock.h"

namespace kestrel::cli {

// A private folder under $TMPDIR (or /tmp), removed with everything in it.
class WorkFolder {
 public:
  WorkFolder();
  ~WorkFolder();
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  bool ok() const { return !path_.empty(); }
  // System path of a file inside.
  std::string File(const std::string& name) const;

 private:
  std::string path_;  // system path; empty when it could not be made
};

enum class TransferStatus {
  kDone,
  kNotFound,  // the server's archive held no file
  kNoReply,   // time-out or lost connection (message printed)
  kRefused,   // the server would not take the request (message printed)
  kLocal,     // a local file could not be read or written (message printed)
  kDamaged,   // the archive did not unpack (message printed)
};

int ExitCodeOf(TransferStatus status);

class Transfers {
 public:
  // link: borrowed, logged in as a client, must outlive this object.
  // work: borrowed, the staging folder.
  Transfers(ServerLink& link, const WorkFolder& work) : link_(link), work_(work) {}

  // The user's scan result; nullopt after printing why.
  std::optional<client::ScanResult> FetchScanResult();
  // folder/file as the protocol names them; target: system path. With a
  // remote time the target gets it as last-write time, else the archive's.
  TransferStatus Download(const std::string& folder, const std::string& file,
                          const std::string& target, std::optional<platform::FileTime> remote_time,
                          const std::string& label);
  // source: system path; its last-write time is announced (returned in *sent_time).
  TransferStatus Upload(const std::string& source, const std::string& folder,
                        const std::string& file, const std::string& label,
                        platform::FileTime* sent_time = nullptr);
  // 0x34; the server acknowledges also files that are not there.
  TransferStatus Delete(const std::string& folder, const std::string& file);

  // Polls "transfer ready?" until yes; false after printing why. Bounded by
  // ten reply time-outs.
  bool WaitReady(const std::string& what);

 private:
  ServerLink& link_;        // borrowed, outlives this object
  const WorkFolder& work_;  // borrowed, outlives this object
  int serial_ = 0;
};

}  // namespace kestrel::cli
