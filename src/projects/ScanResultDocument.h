#pragma once
// The scan-result documents of all users of a project, built from one walk.
//
// Every folder that lists at least one file gets an element Folder<N> in every
// user's document (N counts those folders in walk order, so all users share the
// numbering). A user who may see the folder gets its files with TimeLow,
// TimeHigh and Write; one who may not gets Invisible "true". Documents differ
// only in that choice per folder, so each folder's text is made once per kind
// and every user's document is put together from those pieces.
//
// The bytes are exactly what the XML value store saves for the same document:
// declaration line, elements indented by four spaces per level, text escaped
// as the store escapes it (&, <, >).
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace kestrel::projects {

// Appends text as the store writes element text.
void AppendXmlText(std::string& out, std::string_view text);

class ScanResultBuilder {
 public:
  explicit ScanResultBuilder(std::size_t user_count) : user_count_(user_count) {}

  // The folder being walked: its name relative to the root ("RootFolder" for
  // the root) and each user's FolderAccess bits (user_count values). Writable
  // without visible counts as hidden.
  void BeginFolder(std::string_view relative_name, std::span<const std::uint8_t> access);
  // A listed file of the current folder; adds its size to the total.
  void AddFile(std::string_view name, platform::FileTime last_write, std::uint64_t size);

  std::uint64_t total_size() const { return total_size_; }
  std::size_t folder_count() const { return folders_.size(); }
  // The whole document of the user with this index, replacing out's contents.
  void Build(std::size_t user, std::string& out) const;
  // Per user, the first user whose document is byte-identical to it: the
  // same kind of access to every folder that lists files. A user without
  // such an earlier user is its own twin.
  std::vector<std::uint32_t> Twins() const;

 private:
  enum Kind : std::uint8_t { kHidden = 0, kReadOnly = 1, kWritable = 2 };
  struct Folder {
    std::string head;  // <FolderN> and Foldername
    std::string tail;  // </FolderN>
    std::string writable_files;
    std::string readonly_files;
    std::uint32_t kinds = 0;  // index into kinds_
    std::uint32_t files = 0;
  };
  void OpenFolder();
  // The files of the folder as the user gets them, or the Invisible element.
  const std::string& FilesOf(const Folder& folder, std::size_t user) const;
  static void AppendFile(std::string& out, std::uint32_t number, std::string_view name,
                         platform::FileTime last_write, bool writable);

  std::size_t user_count_;
  std::vector<Folder> folders_;
  // Distinct per-user kind lists; most folders share one.
  std::vector<std::vector<std::uint8_t>> kinds_;
  std::map<std::vector<std::uint8_t>, std::uint32_t> kinds_index_;
  std::uint64_t total_size_ = 0;

  // The folder being walked, until its first file opens its element.
  std::string pending_name_;
  std::uint32_t pending_kinds_ = 0;
  bool need_writable_ = false;
  bool need_readonly_ = false;
  bool folder_open_ = false;
};

}  // namespace kestrel::projects
