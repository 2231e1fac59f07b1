#include "config/ConfigUpdate.h"

#include <array>
#include <set>
#include <utility>

#include "config/ConfigReader.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "support/FileNeu.h"

namespace kestrel {
namespace {

namespace keys = config_keys;

// The General values an uploaded configuration may change, in update order.
constexpr std::array<std::string_view, 6> kMergedGeneralKeys{
    keys::kActivateUserPrivileges,  keys::kLogLevel,
    keys::kLogUserActivity,         keys::kScanIntervallProjects,
    keys::kScanIntervallUserrights, keys::kDeleteEmptyFolders};

constexpr std::string_view kGeneralEndTag = "</General>";
constexpr std::string_view kUserRightsRoot = "UserRights";
constexpr std::string_view kUserRightsProjectname = "Projectname";

std::string ReadText(std::string_view path) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kRead)) return std::string();
  return file.ReadAll();
}

// Numbers n of every "<Project<n>" start tag in the text (elements such as
// <Project3> or <Project3/>). Sections beyond a gap in the numbering are
// found as well, so that none of them outlives a merge.
std::set<int> ProjectTagNumbers(const std::string& text) {
  constexpr std::string_view kOpen = "<Project";
  std::set<int> numbers;
  for (size_t pos = text.find(kOpen); pos != std::string::npos; pos = text.find(kOpen, pos + 1)) {
    size_t i = pos + kOpen.size();
    int number = 0;
    int digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9) {
      number = number * 10 + (text[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || i >= text.size()) continue;
    const char next = text[i];
    if (next == '>' || next == '/' || next == ' ' || next == '\t' || next == '\r' || next == '\n') {
      numbers.insert(number);
    }
  }
  return numbers;
}

// Deletes every ProjectN section below the top-level element. The numbered
// series normally has no gaps, but a hand-edited file may hold sections after
// a gap (or one without a name); left in place they would come back to life
// as soon as an upload fills the gap.
void RemoveProjectSections(CXmlStore& store, std::string_view config_path) {
  for (int n : ProjectTagNumbers(ReadText(config_path))) {
    const std::string tag = SectionTag(keys::kProjectPrefix, n);
    while (store.RemoveElement(keys::kRoot, tag)) {
    }
  }
}

// Copies the received project sections, Project1, Project2, ... as text into
// the configuration file, each after the previous one (the first after the
// General section). After each copy the file is loaded and saved once; a copy
// that leaves the file unreadable (tags found inside a comment, say) is undone
// and ends the copying, so the server never restarts on a broken file.
// merged: holds the file's current document on entry.
void CopyProjectSections(std::string_view received_path, std::string_view config_path,
                         CXmlStore& merged) {
  CXmlStore spare;
  CXmlStore* current = &merged;  // the document the file holds now
  CXmlStore* next = &spare;
  std::string marker(kGeneralEndTag);
  for (int n = 1;; ++n) {
    const std::string start_tag = "<" + SectionTag(keys::kProjectPrefix, n) + ">";
    const std::string end_tag = "</" + SectionTag(keys::kProjectPrefix, n) + ">";
    if (!CXmlStore::SpliceText(config_path, marker, keys::kRoot, received_path, end_tag,
                               {keys::kGeneral, start_tag})) {
      break;
    }
    if (!next->Load(config_path)) {
      current->Save();  // back to the text before this copy
      break;
    }
    next->Save();
    std::swap(current, next);
    marker = end_tag;
  }
}

}  // namespace

RemoteDocumentKinds ClassifyRemoteDocument(std::string_view path) {
  RemoteDocumentKinds kinds;
  CXmlStore document;
  if (!document.Load(path)) return kinds;
  kinds.server_configuration =
      !document.GetString(XmlPath{keys::kRoot, keys::kGeneral}, keys::kGlobalKey).empty();
  kinds.user_rights = !document.GetString(XmlPath{kUserRightsRoot}, kUserRightsProjectname).empty();
  return kinds;
}

std::string BackupFilePath(const platform::Clock& clock, std::string_view suffix) {
  std::string path = kBackupFolder;
  path += '\\';
  path += platform::FormatLocalTime(clock.Local(), kBackupStampFormat);
  path += suffix;
  return path;
}

bool CopyToBackup(std::string_view from, const platform::Clock& clock, std::string_view suffix) {
  if (!platform::IsFolder(kBackupFolder)) platform::CreateFolder(kBackupFolder);
  return platform::CopyFile(from, BackupFilePath(clock, suffix), true) == 0;
}

bool UpdateConfiguration(std::string_view received_path, CXmlStore& config_store,
                         const platform::Clock& clock, const LogChannel& log,
                         std::string_view config_path) {
  CXmlStore received;
  if (!received.Load(received_path)) return false;
  // The merge works on its own copy of the document: the server's store stays
  // as it is unless the merge happens.
  CXmlStore merged;
  if (!merged.Load(config_path)) return false;

  CopyToBackup(config_path, clock, kConfigOldSuffix);

  const XmlPath general{keys::kRoot, keys::kGeneral};
  for (std::string_view key : kMergedGeneralKeys) {
    const std::string value = received.GetString(general, key);
    if (!value.empty()) merged.SetExistingString(general, key, value);
  }
  RemoveProjectSections(merged, config_path);
  merged.Save();
  CopyProjectSections(received_path, config_path, merged);

  CopyToBackup(config_path, clock, kConfigNewSuffix);
  log.Log(kLogWarning, "Server config updated");
  CopyToBackup(received_path, clock, kConfigDownloadSuffix);
  CFileNeu::Remove(received_path);

  config_store.Load(config_path);
  return true;
}

}  // namespace kestrel
