#include "support/XmlStore.h"

#include <tinyxml2.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/SideFile.h"
#include "support/FileNeu.h"

namespace kestrel {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;
using tinyxml2::XMLText;

namespace {

constexpr std::string_view kDeclaration = "<?xml version='1.0' encoding='UTF-8' ?>";
constexpr int kMaxSetterDepth = 3;

// The first child element of parent called name (parent may be the document).
XMLElement* FirstChildNamed(XMLNode* parent, std::string_view name) {
  for (XMLElement* e = parent->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
    if (std::string_view(e->Name()) == name) return e;
  }
  return nullptr;
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool AllWhitespace(std::string_view text) {
  for (char c : text) {
    if (!IsXmlSpace(c)) return false;
  }
  return true;
}

// Sets the element's text in its first text child (creating one first). A
// value of blanks only is kept in a CDATA section: as plain text the parser
// would drop it on the next load.
void SetElementText(XMLDocument& doc, XMLElement* element, std::string_view value) {
  const std::string text(value);
  XMLNode* first = element->FirstChild();
  XMLText* node = first != nullptr ? first->ToText() : nullptr;
  if (node != nullptr) {
    node->SetValue(text.c_str());
  } else {
    node = doc.NewText(text.c_str());
    element->InsertFirstChild(node);
  }
  node->SetCData(!text.empty() && AllWhitespace(text));
}

XMLElement* AppendElement(XMLDocument& doc, XMLNode* parent, std::string_view name) {
  const std::string copy(name);
  XMLElement* element = doc.NewElement(copy.c_str());
  return parent->InsertEndChild(element) != nullptr ? element : nullptr;
}

bool ReadWholeFile(std::string_view path, std::string& out) {
  platform::File in;
  if (in.Open(path, platform::File::kRead) != 0) return false;
  out.clear();
  std::vector<char> block(64 * 1024);
  for (;;) {
    const long n = in.Read(block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(block.data(), static_cast<size_t>(n));
  }
}

int ParseLeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsXmlSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<std::int64_t>(INT_MAX) + 1) break;  // saturates below
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

// ---------------------------------------------------------------------------

XmlPath::XmlPath(std::initializer_list<std::string_view> names)
    : XmlPath(std::span<const std::string_view>(names.begin(), names.size())) {}

XmlPath::XmlPath(std::span<const std::string_view> names) {
  if (names.size() > static_cast<size_t>(kMaxDepth)) return;  // depth 0: resolves nothing
  for (size_t i = 0; i < names.size(); ++i) names_[i] = names[i];
  depth_ = static_cast<int>(names.size());
}

CXmlStore::CXmlStore() = default;
CXmlStore::~CXmlStore() = default;

bool CXmlStore::Load(std::string_view path) {
  std::string text;
  if (!ReadWholeFile(path, text)) {
    (void)LoadText(std::string_view());
    load_error_ = "cannot be read";
    path_ = path;
    return false;
  }
  (void)LoadText(text);
  path_ = path;
  return loaded_;
}

bool CXmlStore::LoadText(std::string_view text, std::string_view bound_path) {
  if (!document_) document_ = std::make_unique<XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
  path_ = bound_path;
  document_->Clear();
  if (text.empty()) {
    loaded_ = false;
    load_error_ = "empty document";
    load_error_line_ = 0;
    return false;
  }
  loaded_ = document_->Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
  load_error_ = loaded_ ? std::string() : std::string(document_->ErrorStr());
  load_error_line_ = loaded_ ? 0 : document_->ErrorLineNum();
  return loaded_;
}

bool CXmlStore::CreateInMemory(std::string_view root_name) {
  if (!LoadText(kDeclaration)) return false;
  loaded_ = AppendElement(*document_, document_.get(), root_name) != nullptr;
  return loaded_;
}

std::string CXmlStore::Text() const {
  if (!loaded_) return std::string();
  tinyxml2::XMLPrinter printer;
  document_->Print(&printer);
  const size_t size = printer.CStrSize() > 0 ? static_cast<size_t>(printer.CStrSize() - 1) : 0;
  return std::string(printer.CStr(), size);
}

bool CXmlStore::Create(std::string_view path, std::string_view root_name) {
  if (!document_) document_ = std::make_unique<XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
  path_ = path;
  loaded_ = false;
  document_->Clear();
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate)) return false;
  const bool written = file.WriteText(kDeclaration);
  file.Close();
  if (!written || file.LastCause() != CFileNeu::kNone) return false;
  if (document_->Parse(kDeclaration.data(), kDeclaration.size()) != tinyxml2::XML_SUCCESS) {
    return false;
  }
  loaded_ = AppendElement(*document_, document_.get(), root_name) != nullptr;
  return loaded_;
}

bool CXmlStore::Save() {
  if (!loaded_ || path_.empty()) return false;
  return platform::ReplaceFileContents(path_, Text()) == 0;
}

XMLElement* CXmlStore::Resolve(const XmlPath& path, int max_depth) const {
  if (!loaded_ || path.depth() < 1 || path.depth() > max_depth) return nullptr;
  XMLNode* node = document_.get();
  for (int i = 0; i < path.depth(); ++i) {
    node = FirstChildNamed(node, path[i]);
    if (node == nullptr) return nullptr;
  }
  return node->ToElement();
}

XMLElement* CXmlStore::FindKey(const XmlPath& path, std::string_view key) const {
  XMLElement* parent = Resolve(path, XmlPath::kMaxDepth);
  return parent != nullptr ? FirstChildNamed(parent, key) : nullptr;
}

std::string CXmlStore::GetString(const XmlPath& path, std::string_view key) const {
  const XMLElement* element = FindKey(path, key);
  const char* text = element != nullptr ? element->GetText() : nullptr;
  return text != nullptr ? std::string(text) : std::string();
}

int CXmlStore::GetInt(const XmlPath& path, std::string_view key, int default_value) const {
  const std::string text = GetString(path, key);
  return text.empty() ? default_value : ParseLeadingInt(text);
}

bool CXmlStore::GetBool(const XmlPath& path, std::string_view key, bool default_value) const {
  std::string text = GetString(path, key);
  if (text.empty()) return default_value;
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text == "TRUE" || text == "YES" || text == "1";
}

int CXmlStore::GetIndex(const XmlPath& path, std::string_view key,
                        std::span<const std::string_view> list, int default_index) const {
  const std::string text = GetString(path, key);
  if (text.empty()) return default_index;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == text) return static_cast<int>(i);
  }
  return default_index;
}

bool CXmlStore::SetExistingString(const XmlPath& path, std::string_view key,
                                  std::string_view value) {
  XMLElement* parent = Resolve(path, kMaxSetterDepth);
  XMLElement* element = parent != nullptr ? FirstChildNamed(parent, key) : nullptr;
  if (element == nullptr) return false;
  SetElementText(*document_, element, value);
  return true;
}

bool CXmlStore::SetString(const XmlPath& path, std::string_view key, std::string_view value) {
  return SetStringAt(ElementRef(Resolve(path, kMaxSetterDepth)), key, value);
}

bool CXmlStore::SetBool(const XmlPath& path, std::string_view key, bool flag) {
  return SetString(path, key, flag ? "true" : "false");
}

bool CXmlStore::AddElement(const XmlPath& path) {
  if (path.depth() < 2 || path.depth() > kMaxSetterDepth) return false;
  std::string_view parent_names[XmlPath::kMaxDepth];
  for (int i = 0; i + 1 < path.depth(); ++i) parent_names[i] = path[i];
  XMLElement* parent = Resolve(XmlPath(std::span<const std::string_view>(
                                   parent_names, static_cast<size_t>(path.depth() - 1))),
                               kMaxSetterDepth);
  if (parent == nullptr) return false;
  const std::string_view name = path[path.depth() - 1];
  if (FirstChildNamed(parent, name) != nullptr) return true;
  return AppendElement(*document_, parent, name) != nullptr;
}

bool CXmlStore::RemoveElement(std::string_view top_name, std::string_view element_name) {
  XMLElement* top = Resolve(XmlPath{top_name}, 1);
  XMLElement* element = top != nullptr ? FirstChildNamed(top, element_name) : nullptr;
  if (element == nullptr) return false;
  top->DeleteChild(element);
  return true;
}

bool CXmlStore::RemoveChild(const XmlPath& parent, std::string_view name) {
  XMLElement* holder = Resolve(parent, kMaxSetterDepth);
  XMLElement* element = holder != nullptr ? FirstChildNamed(holder, name) : nullptr;
  if (element == nullptr) return false;
  holder->DeleteChild(element);
  return true;
}

bool CXmlStore::RenameChild(const XmlPath& parent, std::string_view from, std::string_view to) {
  XMLElement* holder = Resolve(parent, kMaxSetterDepth);
  XMLElement* element = holder != nullptr ? FirstChildNamed(holder, from) : nullptr;
  if (element == nullptr) return false;
  element->SetName(std::string(to).c_str());
  return true;
}

std::vector<CXmlStore::Child> CXmlStore::Children(const XmlPath& path) const {
  std::vector<Child> children;
  if (!loaded_) return children;
  const XMLNode* holder = path.depth() == 0 ? static_cast<const XMLNode*>(document_.get())
                                            : Resolve(path, XmlPath::kMaxDepth);
  if (holder == nullptr) return children;
  for (const XMLElement* e = holder->FirstChildElement(); e != nullptr;
       e = e->NextSiblingElement()) {
    children.push_back(Child{e->Name(), e->GetLineNum(), e->FirstChildElement() != nullptr});
  }
  return children;
}

int CXmlStore::LineOf(const XmlPath& path, std::string_view key) const {
  const XMLElement* element = FindKey(path, key);
  return element != nullptr ? element->GetLineNum() : 0;
}

ElementRef CXmlStore::Find(const XmlPath& path) const {
  return ElementRef(Resolve(path, XmlPath::kMaxDepth));
}

ElementRef CXmlStore::AddElementAt(ElementRef parent, std::string_view name) {
  if (!loaded_ || !parent) return ElementRef();
  return ElementRef(AppendElement(*document_, parent.element_, name));
}

bool CXmlStore::SetStringAt(ElementRef element, std::string_view key, std::string_view value) {
  if (!loaded_ || !element) return false;
  XMLElement* target = FirstChildNamed(element.element_, key);
  if (target == nullptr) return AppendStringAt(element, key, value);
  SetElementText(*document_, target, value);
  return true;
}

bool CXmlStore::AppendStringAt(ElementRef element, std::string_view key, std::string_view value) {
  if (!loaded_ || !element) return false;
  XMLElement* target = AppendElement(*document_, element.element_, key);
  if (target == nullptr) return false;
  SetElementText(*document_, target, value);
  return true;
}

bool CXmlStore::SpliceText(std::string& target, std::string_view source,
                           const SpliceMarkers& markers) {
  const size_t target_pos = target.find(markers.target);
  size_t pos = source.find(markers.source);
  if (target_pos == std::string::npos || target_pos == 0) return false;
  if (pos == std::string_view::npos || pos == 0) return false;
  for (std::string_view marker : markers.intermediate) {
    if (marker.empty()) continue;  // not given
    pos = source.find(marker, pos);
    if (pos == std::string_view::npos) return false;
  }
  const size_t end = source.find(markers.end, pos);
  if (end == std::string_view::npos) return false;
  const size_t span_end = end + markers.end.size();
  target.insert(target_pos + markers.target.size(), source.substr(pos, span_end - pos));
  return true;
}

}  // namespace kestrel
