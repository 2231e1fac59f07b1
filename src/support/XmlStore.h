// CXmlStore: the XML value store through which every XML file of the server is
// read and written. One document bound to one file; a value is the text of a
// child element `key` below a path of element names counted from the top
// level. At each level the first element of that name is taken.
//
// Text is 8-bit: names and values go into the document as their bytes and
// come out as the same bytes. Files are written with the declaration
// "<?xml version='1.0' encoding='UTF-8' ?>" and indented output.
//
// Threads: an object is used by one thread at a time (its owner).
#pragma once

#include <array>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace kestrel {

// Element names from the top level down (1 to 5 names). The views are
// borrowed for the call only.
class XmlPath {
 public:
  static constexpr int kMaxDepth = 5;
  XmlPath(std::initializer_list<std::string_view> names);
  explicit XmlPath(std::span<const std::string_view> names);
  int depth() const { return depth_; }  // 0 when more than kMaxDepth names were given
  std::string_view operator[](int i) const { return names_[static_cast<size_t>(i)]; }

 private:
  std::array<std::string_view, kMaxDepth> names_{};
  int depth_ = 0;
};

// A resolved element kept for repeated writes. Valid until the element or an
// ancestor is removed, or the store is loaded or created again.
class ElementRef {
 public:
  ElementRef() = default;
  explicit operator bool() const { return element_ != nullptr; }

 private:
  friend class CXmlStore;
  explicit ElementRef(tinyxml2::XMLElement* element) : element_(element) {}
  tinyxml2::XMLElement* element_ = nullptr;  // borrowed from the store's document
};

class CXmlStore {
 public:
  CXmlStore();
  ~CXmlStore();
  CXmlStore(const CXmlStore&) = delete;
  CXmlStore& operator=(const CXmlStore&) = delete;

  // Parses the file; true (and loaded) only when it parsed without error.
  [[nodiscard]] bool Load(std::string_view path);
  // Writes a file holding only the declaration (39 bytes, no line end), then
  // starts the document with one top-level element root_name. Not saved.
  [[nodiscard]] bool Create(std::string_view path, std::string_view root_name);
  // Writes the document to its path (through a temporary file renamed over
  // it). False when not loaded or the write fails.
  [[nodiscard]] bool Save();
  // The same three for documents whose file the caller reads or writes
  // itself (files of project trees, which must be checked before they are
  // trusted): parse text, start a document in memory, give the text Save
  // would write (empty when not loaded). The store is then bound to no file,
  // or to bound_path when the caller wrote the text there itself.
  [[nodiscard]] bool LoadText(std::string_view text, std::string_view bound_path = {});
  [[nodiscard]] bool CreateInMemory(std::string_view root_name);
  std::string Text() const;
  bool IsLoaded() const { return loaded_; }
  const std::string& GetPath() const { return path_; }

  // Text of the key element at the address; "" when missing or not loaded.
  std::string GetString(const XmlPath& path, std::string_view key) const;
  // Leading decimal integer of the text (blanks and sign allowed, stops at the
  // first non-digit, no digits -> 0); default_value when the text is empty.
  int GetInt(const XmlPath& path, std::string_view key, int default_value) const;
  // True for "TRUE", "YES", "1" after upper-casing; default_value when empty.
  bool GetBool(const XmlPath& path, std::string_view key, bool default_value) const;
  // Index of the first list entry equal to the text; default_index when the
  // text is empty or matches none.
  int GetIndex(const XmlPath& path, std::string_view key, std::span<const std::string_view> list,
               int default_index) const;

  // Replaces the text of an existing key element (paths of depth 1 to 3);
  // false when the path or the key element is missing. Creates nothing.
  [[nodiscard]] bool SetExistingString(const XmlPath& path, std::string_view key,
                                       std::string_view value);
  // Sets the key's text, appending the key element as last child of the path
  // element when missing (paths of depth 1 to 3). False when the path does not
  // resolve.
  [[nodiscard]] bool SetString(const XmlPath& path, std::string_view key, std::string_view value);
  // SetString with "true" or "false".
  [[nodiscard]] bool SetBool(const XmlPath& path, std::string_view key, bool flag);
  // Ensures the element named by the last name exists below the element the
  // names before it address (depth 2 or 3); appended empty when missing.
  [[nodiscard]] bool AddElement(const XmlPath& path);
  // Deletes the first child element_name of the top-level element top_name.
  [[nodiscard]] bool RemoveElement(std::string_view top_name, std::string_view element_name);

  // Resolved elements for writers that add many siblings: cost independent
  // of the number of siblings already present.
  ElementRef Find(const XmlPath& path) const;  // first match at every level
  // Always appends a new empty element name as last child of parent.
  [[nodiscard]] ElementRef AddElementAt(ElementRef parent, std::string_view name);
  // Sets the first child key of element (appending it when missing); costs
  // the number of children of element, not of its siblings.
  [[nodiscard]] bool SetStringAt(ElementRef element, std::string_view key, std::string_view value);
  // Appends a new key element with value without looking for an existing one.
  [[nodiscard]] bool AppendStringAt(ElementRef element, std::string_view key,
                                    std::string_view value);

  // Structural edits for the administration tools (parent: depth 1 to 3).
  // Deletes the first child element name of the parent element.
  [[nodiscard]] bool RemoveChild(const XmlPath& parent, std::string_view name);
  // Renames the first child element from of the parent element to to.
  [[nodiscard]] bool RenameChild(const XmlPath& parent, std::string_view from, std::string_view to);

  // Inspection with the parser's line numbers, for configuration checks.
  struct Child {
    std::string name;
    int line = 0;               // 1-based line of its start tag
    bool has_elements = false;  // holds child elements (a section, not a value)
  };
  // The child elements of the element at path, in document order (empty when
  // the path does not resolve); an empty path lists the top level.
  std::vector<Child> Children(const XmlPath& path) const;
  // The line of the key element at the address; 0 when it is missing.
  int LineOf(const XmlPath& path, std::string_view key) const;
  // After a failed Load: the parser's description and line (0 when the file
  // could not be read at all or the parser gave no line).
  const std::string& load_error() const { return load_error_; }
  int load_error_line() const { return load_error_line_; }

  // The markers of a text-level copy (SpliceText).
  struct SpliceMarkers {
    std::string_view target;  // the span goes in right after its first occurrence
    std::string_view source;  // where the search in the source text starts
    // Found in turn after the source marker; the span starts at the last one
    // found (at the source marker when none is given). Empty: not given.
    std::array<std::string_view, 4> intermediate{};
    std::string_view end;  // the span ends with the first one after its start
  };
  // Text-level copy from source into target, without parsing. Every marker
  // must be found, the target and source markers at a position > 0 (so
  // empty texts fail). False, target unchanged, otherwise.
  [[nodiscard]] static bool SpliceText(std::string& target, std::string_view source,
                                       const SpliceMarkers& markers);

 private:
  tinyxml2::XMLElement* Resolve(const XmlPath& path, int max_depth) const;
  tinyxml2::XMLElement* FindKey(const XmlPath& path, std::string_view key) const;

  std::unique_ptr<tinyxml2::XMLDocument> document_;  // created on first load
  std::string path_;                                 // system path of the file
  bool loaded_ = false;
  std::string load_error_;
  int load_error_line_ = 0;
};

}  // namespace kestrel
