#include "config/ConfigUpdate.h"

#include <array>
#include <set>
#include <vector>

#include "config/ConfigReader.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "platform/SideFile.h"
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
// as soon as an upload fills the gap. text: the document's file text.
void RemoveProjectSections(CXmlStore& store, const std::string& text) {
  for (int n : ProjectTagNumbers(text)) {
    const std::string tag = SectionTag(keys::kProjectPrefix, n);
    while (store.RemoveElement(keys::kRoot, tag)) {
    }
  }
}

// The document text with the received project sections, Project1, Project2,
// ..., copied in as text, each after the previous one (the first after the
// General section), up to the first one that is missing; then parsed and
// printed once, as a save writes it. When the copies leave the text
// unreadable (tags found inside a comment, say), the sections up to the one
// that breaks it are kept and the copying ends there, so the server never
// restarts on a broken file. Empty when even the text without copies does
// not parse (it always does: it was printed from a document).
std::string WithProjectSections(const std::string& text, std::string_view received_text) {
  // texts[k]: the text with k sections copied.
  std::vector<std::string> texts{text};
  std::string marker(kGeneralEndTag);
  for (int n = 1;; ++n) {
    const std::string start_tag = "<" + SectionTag(keys::kProjectPrefix, n) + ">";
    const std::string end_tag = "</" + SectionTag(keys::kProjectPrefix, n) + ">";
    std::string next = texts.back();
    if (!CXmlStore::SpliceText(next, received_text,
                               {marker, keys::kRoot, {keys::kGeneral, start_tag}, end_tag})) {
      break;
    }
    texts.push_back(std::move(next));
    marker = end_tag;
  }
  CXmlStore document;
  size_t kept = texts.size() - 1;
  if (!document.LoadText(texts[kept])) {
    for (kept = 1; kept < texts.size() && document.LoadText(texts[kept]); ++kept) {
    }
    --kept;  // the last one that parses
    if (!document.LoadText(texts[kept])) return std::string();
  }
  return document.Text();
}

// Writes text as a backup named BackupFilePath(clock, suffix). False when the
// write failed (a missing backup never stops an update).
bool WriteBackup(std::string_view text, const platform::Clock& clock, std::string_view suffix) {
  if (!platform::IsFolder(kBackupFolder)) (void)platform::CreateFolder(kBackupFolder);
  return platform::ReplaceFileContents(BackupFilePath(clock, suffix), text) == 0;
}

}  // namespace

RemoteDocumentKinds ClassifyRemoteDocument(std::string_view path) {
  RemoteDocumentKinds kinds;
  CXmlStore document;
  if (!document.Load(path)) return kinds;
  kinds.server_configuration =
      !document.GetString(XmlPath{keys::kRoot, keys::kGeneral}, keys::kGlobalKey).empty();
  kinds.user_rights =
      !document.GetString(XmlPath{rights_keys::kRoot}, rights_keys::kProjectname).empty();
  return kinds;
}

std::string BackupFilePath(const platform::Clock& clock, std::string_view suffix) {
  return BackupPath(platform::FormatLocalTime(clock.Local(), kBackupStampFormat), suffix);
}

bool CopyToBackup(std::string_view from, const platform::Clock& clock, std::string_view suffix) {
  if (!platform::IsFolder(kBackupFolder)) (void)platform::CreateFolder(kBackupFolder);
  return platform::CopyFile(from, BackupFilePath(clock, suffix), true) == 0;
}

bool UpdateConfiguration(std::string_view received_path, CXmlStore& config_store,
                         const platform::Clock& clock, const LogChannel& log,
                         std::string_view config_path) {
  // Both documents are read once; the merge works on copies in memory, so
  // the server's store and file stay as they are unless the merge happens.
  const std::string received_text = ReadText(received_path);
  CXmlStore received;
  if (!received.LoadText(received_text)) return false;
  const std::string config_text = ReadText(config_path);
  CXmlStore merged;
  if (!merged.LoadText(config_text)) return false;

  (void)WriteBackup(config_text, clock, kConfigOldSuffix);

  const XmlPath general{keys::kRoot, keys::kGeneral};
  for (std::string_view key : kMergedGeneralKeys) {
    const std::string value = received.GetString(general, key);
    if (!value.empty()) (void)merged.SetExistingString(general, key, value);
  }
  RemoveProjectSections(merged, config_text);
  const std::string result = WithProjectSections(merged.Text(), received_text);
  // One write, through a temporary file renamed over the old one.
  if (result.empty() || platform::ReplaceFileContents(config_path, result) != 0) {
    log.Logf(kLogError, "Server config update failed: '%s' cannot be written",
             std::string(config_path).c_str());
    return false;
  }

  (void)WriteBackup(result, clock, kConfigNewSuffix);
  log.Log(kLogWarning, "Server config updated");
  (void)WriteBackup(received_text, clock, kConfigDownloadSuffix);
  (void)CFileNeu::Remove(received_path);

  (void)config_store.LoadText(result, config_path);
  return true;
}

}  // namespace kestrel
