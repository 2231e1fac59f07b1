#include "client/Transfers.h"

#include "client/ArchiveUnpack.h"
#include "client/RemotePath.h"
#include "client/TextCodec.h"
#include "platform/FileSystem.h"

namespace kestrel::client {
namespace {

// How one transfer is named in its messages.
struct Subject {
  std::string request;  // "the download request"
  std::string name;     // "Docs/team.csv"; empty for the scan result and the server logs
  std::string data;     // what travels: "Docs/team.csv", "the scan result"
  bool upload = false;
};

std::string Describe(const TransferResult& r, const ClientLink& link, const Subject& s) {
  const std::string named = s.name.empty() ? s.request : s.request + " for " + s.name;
  switch (r.step) {
    case TransferStep::kRequest:
      if (r.status == TransferStatus::kTooLong) {
        return "the name " + s.name + " is too long for the protocol";
      }
      if (r.status == TransferStatus::kRefused) {
        return "the server refused " + named + " (rights or name)";
      }
      return link.NoReply(named);
    case TransferStep::kPrepare:
      if (r.status == TransferStatus::kNotReady) {
        return "the server did not finish preparing " + s.data + " within " +
               std::to_string(link.settings().timeout.count() * ClientSession::kSlowStepFactor) +
               " s";
      }
      return link.NoReply(s.data);
    case TransferStep::kChunks:
      if (r.status == TransferStatus::kLocal) {
        return std::string("cannot ") + (s.upload ? "read" : "write") + " the temporary file " +
               Shown(r.local_path);
      }
      return link.NoReply("a chunk of " + s.data);
    case TransferStep::kEnd:
      return link.NoReply("the end of the upload of " + s.data);
    case TransferStep::kUnpack:
      if (r.status == TransferStatus::kNotFound) return "not found on the server: " + s.data;
      if (r.status == TransferStatus::kLocal) {
        return "cannot write " + Shown(r.local_path) + ": " + ExtractFailureText(r.unpack);
      }
      return s.data + " did not arrive whole: " + ExtractFailureText(r.unpack);
    case TransferStep::kLocalFile:
      if (r.status == TransferStatus::kChanged) {
        return Shown(r.local_path) + " changed while it was being read; not uploaded";
      }
      return (s.upload ? "cannot read " : "cannot set the last-write time of ") +
             Shown(r.local_path);
    case TransferStep::kNone:
      break;
  }
  return "the transfer of " + s.data + " failed";
}

TransferResult Described(TransferResult r, const ClientLink& link, const Subject& s) {
  if (!r.ok()) r.message = Describe(r, link, s);
  return r;
}

Subject FileSubject(const char* request, std::string_view folder, std::string_view file,
                    bool upload) {
  const std::string name = ShownRemote(folder, file);
  return Subject{request, name, name, upload};
}

}  // namespace

std::string Transfers::Staged(const char* kind) {
  return work_.File(kind + std::to_string(++serial_) + ".zip");
}

TransferResult Transfers::FetchScanResult(ScanResult& out) {
  const std::string target = work_.File("scanresult.xml");
  TransferResult result =
      Described(link_.session().DownloadScanResult(work_.File("scanresult.zip"), target), link_,
                Subject{"the scan-result request", "", "the scan result", false});
  if (result.status == TransferStatus::kNotFound) {
    result.message = "the server sent no scan result (has the project been scanned?)";
  }
  if (!result) return result;
  ScanResultParse parse = LoadScanResult(target);
  if (!parse.ok) {
    result.status = TransferStatus::kDamaged;
    result.step = TransferStep::kUnpack;
    result.message = "the scan result cannot be read: " + parse.error;
    return result;
  }
  out = std::move(parse.result);
  return result;
}

TransferResult Transfers::Download(std::string_view folder, std::string_view file,
                                   std::string_view target,
                                   std::optional<platform::FileTime> remote_time,
                                   TransferObserver* observer) {
  return Described(
      link_.session().Download(folder, file, Staged("download"), target, remote_time, observer),
      link_, FileSubject("the download request", folder, file, false));
}

TransferResult Transfers::Upload(std::string_view source, std::string_view folder,
                                 std::string_view file, std::optional<platform::FileTime> announce,
                                 TransferObserver* observer) {
  return Described(
      link_.session().Upload(source, folder, file, Staged("upload"), announce, observer), link_,
      FileSubject("the upload request", folder, file, true));
}

TransferResult Transfers::Delete(std::string_view folder, std::string_view file) {
  return Described(link_.session().Delete(folder, file), link_,
                   FileSubject("the delete request", folder, file, false));
}

TransferResult Transfers::FetchServerLogs(std::string_view archive, TransferObserver* observer) {
  return Described(link_.session().DownloadServerLogs(archive, observer), link_,
                   Subject{"the server-logs request", "", "the server-logs archive", false});
}

}  // namespace kestrel::client
