#include "client/ScanResult.h"

#include <tinyxml2.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "client/RemotePath.h"
#include "platform/FileSystem.h"

namespace kestrel::client {
namespace {

using tinyxml2::XMLElement;

bool HasNumberedName(const XMLElement& element, std::string_view prefix) {
  const std::string_view name = element.Name();
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  for (const char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string TextOf(const XMLElement& parent, const char* child) {
  const XMLElement* element = parent.FirstChildElement(child);
  if (element == nullptr || element->GetText() == nullptr) return {};
  return element->GetText();
}

std::optional<std::uint64_t> ParseUnsigned(const std::string& text, std::uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool IsTrue(const std::string& text) {
  std::string upper;
  for (const char c : text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return upper == "TRUE" || upper == "YES" || upper == "1";
}

void ReadFolder(const XMLElement& element, ScanResult& out) {
  RemoteFolder folder;
  folder.name = TextOf(element, "Foldername");
  const bool usable = folder.name == kScanRootFolderName || IsPlainPath(folder.name);
  folder.hidden = IsTrue(TextOf(element, "Invisible"));
  bool saw_file = false;
  for (const XMLElement* child = element.FirstChildElement(); child != nullptr;
       child = child->NextSiblingElement()) {
    if (!HasNumberedName(*child, "File")) continue;
    saw_file = true;
    RemoteFile file;
    file.name = TextOf(*child, "Filename");
    const auto low = ParseUnsigned(TextOf(*child, "TimeLow"), 0xFFFFFFFFull);
    const auto high = ParseUnsigned(TextOf(*child, "TimeHigh"), 0xFFFFFFFFull);
    if (!usable || !IsPlainName(file.name) || !low || !high) {
      out.rejected.push_back(folder.name + "\\" + file.name);
      continue;
    }
    file.last_write = *high << 32 | *low;
    file.writable = IsTrue(TextOf(*child, "Write"));
    folder.files.push_back(std::move(file));
  }
  if (!usable) {
    if (!saw_file) out.rejected.push_back(folder.name);
    return;
  }
  // One element per folder is the rule; a repeated name joins the first.
  for (RemoteFolder& known : out.folders) {
    if (known.name != folder.name) continue;
    known.hidden = known.hidden && folder.hidden;
    for (RemoteFile& file : folder.files) known.files.push_back(std::move(file));
    return;
  }
  out.folders.push_back(std::move(folder));
}

}  // namespace

ScanResultParse ParseScanResult(std::string_view xml) {
  ScanResultParse parse;
  tinyxml2::XMLDocument document;
  if (document.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
    parse.error = "the scan result is not well-formed XML";
    return parse;
  }
  const XMLElement* top = document.RootElement();
  if (top == nullptr || std::string_view(top->Name()) != "Scanresult") {
    parse.error = "the document is not a scan result (no Scanresult element)";
    return parse;
  }
  for (const XMLElement* child = top->FirstChildElement(); child != nullptr;
       child = child->NextSiblingElement()) {
    if (HasNumberedName(*child, "Folder")) ReadFolder(*child, parse.result);
  }
  const std::string total = TextOf(*top, "TotalSize");
  if (!total.empty()) {
    const bool negative = total[0] == '-';
    const auto value = ParseUnsigned(negative ? total.substr(1) : total, 0x7FFFFFFFFFFFFFFFull);
    if (value) parse.result.total_size = static_cast<std::int64_t>(*value) * (negative ? -1 : 1);
  }
  parse.ok = true;
  return parse;
}

ScanResultParse LoadScanResult(std::string_view path) {
  platform::File in;
  if (in.Open(path, platform::File::kRead) != 0) {
    ScanResultParse parse;
    parse.error = "the scan result file cannot be opened";
    return parse;
  }
  std::string text;
  char block[16384];
  for (;;) {
    const long n = in.Read(block, sizeof block);
    if (n < 0) {
      ScanResultParse parse;
      parse.error = "the scan result file cannot be read";
      return parse;
    }
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  return ParseScanResult(text);
}

std::string FormatScanResult(const ScanResult& result) {
  tinyxml2::XMLDocument document;
  XMLElement* top = document.NewElement("Scanresult");
  document.InsertEndChild(top);
  auto add_text = [&document](XMLElement* parent, const char* name, const std::string& text) {
    XMLElement* element = document.NewElement(name);
    element->SetText(text.c_str());
    parent->InsertEndChild(element);
  };
  int n = 1;
  for (const RemoteFolder& folder : result.folders) {
    XMLElement* element = document.NewElement(("Folder" + std::to_string(n++)).c_str());
    top->InsertEndChild(element);
    add_text(element, "Foldername", folder.name);
    if (folder.hidden) {
      add_text(element, "Invisible", "true");
      continue;
    }
    int m = 1;
    for (const RemoteFile& file : folder.files) {
      XMLElement* entry = document.NewElement(("File" + std::to_string(m++)).c_str());
      element->InsertEndChild(entry);
      add_text(entry, "Filename", file.name);
      add_text(entry, "TimeLow", std::to_string(file.last_write & 0xFFFFFFFFull));
      add_text(entry, "TimeHigh", std::to_string(file.last_write >> 32));
      add_text(entry, "Write", file.writable ? "true" : "false");
    }
  }
  add_text(top, "TotalSize", std::to_string(result.total_size));
  tinyxml2::XMLPrinter printer;
  document.Print(&printer);
  return "<?xml version='1.0' encoding='UTF-8' ?>\n" + std::string(printer.CStr());
}

}  // namespace kestrel::client
