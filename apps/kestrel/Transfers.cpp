#include "Transfers.h"

#include <stdlib.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "Terminal.h"
#include "client/BasicRequests.h"
#include "client/TextCodec.h"
#include "net/Frame.h"
#include "platform/FileSystem.h"
#include "support/ZipArchive.h"

namespace kestrel::cli {
namespace {

using Steady = std::chrono::steady_clock;

const char* ExtractReason(ExtractFailure failure) {
  switch (failure) {
    case ExtractFailure::kNone:
      return "no error";
    case ExtractFailure::kCannotOpen:
      return "the received data is not a zip archive";
    case ExtractFailure::kNoSpace:
      return "not enough free disk space";
    case ExtractFailure::kUnsupportedEntry:
      return "the archive entry is encrypted or uses an unknown method";
    case ExtractFailure::kBadData:
      return "the archive data is damaged";
    case ExtractFailure::kSizeMismatch:
      return "the archive entry has the wrong size";
    case ExtractFailure::kCrcMismatch:
      return "the archive entry fails its checksum";
    case ExtractFailure::kWriteFailed:
      return "the local file could not be written";
  }
  return "unknown failure";
}

void PutLittleEndian64(std::uint64_t value, std::uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool IsAccepted(const std::optional<client::ReplyFrame>& reply) {
  return reply && reply->payload.size() == 2 && reply->payload[0] == kReplyAccepted[0] &&
         reply->payload[1] == kReplyAccepted[1];
}

}  // namespace

WorkFolder::WorkFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
  pattern += "/kestrel-cli-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) return;
  std::optional<std::string> system = platform::SystemName(buffer.data());
  if (!system) {
    ::rmdir(buffer.data());
    return;
  }
  path_ = *system;
}

WorkFolder::~WorkFolder() {
  if (!path_.empty()) platform::RemoveTree(path_);
}

std::string WorkFolder::File(const std::string& name) const {
  return path_ + "\\" + name;
}

int ExitCodeOf(TransferStatus status) {
  switch (status) {
    case TransferStatus::kDone:
      return kExitOk;
    case TransferStatus::kNotFound:
    case TransferStatus::kRefused:
      return kExitRefused;
    case TransferStatus::kNoReply:
      return kExitConnection;
    case TransferStatus::kLocal:
    case TransferStatus::kDamaged:
      return kExitLocal;
  }
  return kExitLocal;
}

bool Transfers::WaitReady(const std::string& what) {
  client::ClientConnection& connection = link_.connection();
  // The server prepares the archive before it reads the next request, so a
  // large file can hold the first answer back; the whole wait is bounded.
  const auto deadline = Steady::now() + 10 * link_.reply_timeout();
  for (;;) {
    const client::YesNo ready = client::TransferReady(connection);
    if (ready == client::YesNo::kYes) return true;
    if (!connection.connected()) {
      PrintError(link_.NoReply(what));
      return false;
    }
    if (Steady::now() >= deadline) {
      PrintError("the server did not finish preparing " + what + " within " +
                 std::to_string(10 * link_.settings().timeout_seconds) + " s");
      return false;
    }
    if (ready == client::YesNo::kNo) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::optional<client::ScanResult> Transfers::FetchScanResult() {
  const std::string archive = work_.File("scanresult.zip");
  const std::string target = work_.File("scanresult.xml");
  client::ClientSession& session = link_.session();
  if (!session.RequestScanResult()) {
    PrintError(link_.NoReply("the scan-result request"));
    return std::nullopt;
  }
  if (!WaitReady("the scan result")) return std::nullopt;
  platform::File out;
  if (out.Open(archive, platform::File::kWrite | platform::File::kCreate) != 0) {
    PrintError("cannot write the temporary file " + Shown(archive));
    return std::nullopt;
  }
  bool written = true;
  const bool fetched = session.FetchChunks([&](std::span<const std::uint8_t> bytes) {
    written = out.Write(bytes.data(), bytes.size()) == 0;
    return written;
  });
  out.Close();
  if (!fetched || !written) {
    PrintError(written ? link_.NoReply("a chunk of the scan result")
                       : "cannot write the temporary file " + Shown(archive));
    return std::nullopt;
  }
  platform::DeleteFile(target);
  const ExtractResult extracted = ExtractArchive(archive, target);
  if (!extracted.ok || extracted.entries == 0) {
    PrintError(extracted.ok ? "the server sent no scan result (has the project been scanned?)"
                            : std::string("the scan result did not unpack: ") +
                                  ExtractReason(extracted.reason));
    return std::nullopt;
  }
  client::ScanResultParse parse = client::LoadScanResult(target);
  if (!parse.ok) {
    PrintError("the scan result cannot be read: " + parse.error);
    return std::nullopt;
  }
  for (const std::string& name : parse.result.rejected) {
    PrintWarning("the scan result names an entry that is not used: " + Shown(name));
  }
  return std::move(parse.result);
}

TransferStatus Transfers::Download(const std::string& folder, const std::string& file,
                                   const std::string& target,
                                   std::optional<platform::FileTime> remote_time,
                                   const std::string& label) {
  const std::string shown = ShownRemote(folder, file);
  client::ClientSession& session = link_.session();
  if (!session.RequestDownload(folder, file)) {
    PrintError(link_.RefusedOrNoReply("the download request", shown));
    return TransferStatus::kNoReply;
  }
  if (!WaitReady(shown)) return TransferStatus::kNoReply;
  const std::string archive = work_.File("download" + std::to_string(++serial_) + ".zip");
  platform::File out;
  if (out.Open(archive, platform::File::kWrite | platform::File::kCreate) != 0) {
    PrintError("cannot write the temporary file " + Shown(archive));
    return TransferStatus::kLocal;
  }
  bool written = true;
  bool fetched = false;
  {
    Progress progress(link_.settings().progress, label, 0);
    fetched = session.FetchChunks([&](std::span<const std::uint8_t> bytes) {
      written = out.Write(bytes.data(), bytes.size()) == 0;
      progress.Add(bytes.size());
      return written;
    });
  }
  out.Close();
  if (!written) {
    PrintError("cannot write the temporary file " + Shown(archive));
    platform::DeleteFile(archive);
    return TransferStatus::kLocal;
  }
  if (!fetched) {
    PrintError(link_.NoReply("a chunk of " + shown));
    platform::DeleteFile(archive);
    return TransferStatus::kNoReply;
  }
  const ExtractResult extracted = ExtractArchive(archive, target);
  platform::DeleteFile(archive);
  if (!extracted.ok) {
    PrintError(shown + " did not arrive whole: " + ExtractReason(extracted.reason));
    return extracted.reason == ExtractFailure::kWriteFailed ||
                   extracted.reason == ExtractFailure::kNoSpace
               ? TransferStatus::kLocal
               : TransferStatus::kDamaged;
  }
  if (extracted.entries == 0) return TransferStatus::kNotFound;
  if (remote_time && platform::SetLastWriteTime(target, *remote_time) != 0) {
    PrintError("cannot set the last-write time of " + Shown(target));
    return TransferStatus::kLocal;
  }
  return TransferStatus::kDone;
}

TransferStatus Transfers::Upload(const std::string& source, const std::string& folder,
                                 const std::string& file, const std::string& label,
                                 platform::FileTime* sent_time) {
  const std::string shown = ShownRemote(folder, file);
  platform::DirEntry before;
  if (platform::Stat(source, before) != 0 || before.is_folder) {
    PrintError("cannot read " + Shown(source));
    return TransferStatus::kLocal;
  }
  const std::string archive = work_.File("upload" + std::to_string(++serial_) + ".zip");
  const bool packed = PackFile(archive, source, file);
  platform::DirEntry after;
  if (!packed || platform::Stat(source, after) != 0) {
    PrintError("cannot read " + Shown(source));
    platform::DeleteFile(archive);
    return TransferStatus::kLocal;
  }
  if (after.size != before.size || after.last_write != before.last_write) {
    PrintError(Shown(source) + " changed while it was being read; not uploaded");
    platform::DeleteFile(archive);
    return TransferStatus::kLocal;
  }
  platform::DirEntry packed_entry;
  platform::Stat(archive, packed_entry);

  client::ClientSession& session = link_.session();
  std::uint8_t fixed[16];
  PutLittleEndian64(before.last_write, fixed);
  PutLittleEndian64(before.size, fixed + 8);
  const std::vector<std::uint8_t> record = session.SealRecord({folder, file}, fixed);
  if (record.empty()) {
    PrintError("the name " + shown + " is too long for the protocol");
    platform::DeleteFile(archive);
    return TransferStatus::kRefused;
  }
  if (!IsAccepted(session.connection().Request(PacketType::kUploadRequest, record))) {
    PrintError(link_.RefusedOrNoReply("the upload request", shown));
    platform::DeleteFile(archive);
    return TransferStatus::kNoReply;
  }
  platform::File in;
  if (in.Open(archive, platform::File::kRead) != 0) {
    PrintError("cannot read the temporary file " + Shown(archive));
    return TransferStatus::kLocal;
  }
  std::uint8_t piece[kBulkBlockSize];
  bool sent = true;
  {
    Progress progress(link_.settings().progress, label, packed_entry.size);
    for (;;) {
      std::size_t have = 0;
      while (have < sizeof piece) {
        const long n = in.Read(piece + have, sizeof piece - have);
        if (n < 0) {
          PrintError("cannot read the temporary file " + Shown(archive));
          return TransferStatus::kLocal;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
      }
      if (have == 0) break;
      if (!session.SendUploadChunk(std::span<const std::uint8_t>(piece, have))) {
        sent = false;
        break;
      }
      progress.Add(have);
      if (have < sizeof piece) break;
    }
  }
  in.Close();
  platform::DeleteFile(archive);
  if (!sent) {
    PrintError(link_.NoReply("a chunk of " + shown));
    return TransferStatus::kNoReply;
  }
  // The server unpacks and places the file before it answers the end.
  client::ClientConnection& connection = session.connection();
  connection.set_reply_timeout(10 * link_.reply_timeout());
  const bool ended = session.SendUploadEnd();
  connection.set_reply_timeout(link_.reply_timeout());
  if (!ended) {
    PrintError(link_.NoReply("the end of the upload of " + shown));
    return TransferStatus::kNoReply;
  }
  if (sent_time != nullptr) *sent_time = before.last_write;
  return TransferStatus::kDone;
}

TransferStatus Transfers::Delete(const std::string& folder, const std::string& file) {
  if (!link_.session().DeleteFile(folder, file)) {
    PrintError(link_.RefusedOrNoReply("the delete request", ShownRemote(folder, file)));
    return TransferStatus::kNoReply;
  }
  return TransferStatus::kDone;
}

}  // namespace kestrel::cli
