#include "projects/ScanResultDocument.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "projects/UserRights.h"

namespace kestrel::projects {
namespace {

constexpr std::string_view kDeclaration = "<?xml version='1.0' encoding='UTF-8' ?>";

void AppendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void AppendSigned(std::string& out, std::int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

void AppendXmlText(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* entity = nullptr;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      default:
        continue;
    }
    out.append(text.data() + start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void ScanResultBuilder::BeginFolder(std::string_view relative_name,
                                    std::span<const std::uint8_t> access) {
  // The previous folder is complete: drop the slack its texts grew with.
  if (folder_open_) {
    folders_.back().writable_files.shrink_to_fit();
    folders_.back().readonly_files.shrink_to_fit();
  }
  std::vector<std::uint8_t> kinds(user_count_, kHidden);
  need_writable_ = false;
  need_readonly_ = false;
  for (std::size_t u = 0; u < user_count_ && u < access.size(); ++u) {
    if ((access[u] & kAccessVisible) == 0) continue;
    bool writable = (access[u] & kAccessWritable) != 0;
    kinds[u] = writable ? kWritable : kReadOnly;
    (writable ? need_writable_ : need_readonly_) = true;
  }
  auto found = kinds_index_.find(kinds);
  if (found == kinds_index_.end()) {
    auto id = static_cast<std::uint32_t>(kinds_.size());
    kinds_.push_back(kinds);
    found = kinds_index_.emplace(std::move(kinds), id).first;
  }
  pending_kinds_ = found->second;
  pending_name_.assign(relative_name);
  folder_open_ = false;
}

void ScanResultBuilder::OpenFolder() {
  Folder folder;
  const auto number = static_cast<std::uint64_t>(folders_.size() + 1);
  folder.head = "    <Folder";
  AppendNumber(folder.head, number);
  folder.head += ">\n        <Foldername>";
  AppendXmlText(folder.head, pending_name_);
  folder.head += "</Foldername>\n";
  folder.tail = "    </Folder";
  AppendNumber(folder.tail, number);
  folder.tail += ">\n";
  folder.kinds = pending_kinds_;
  folders_.push_back(std::move(folder));
  folder_open_ = true;
}

void ScanResultBuilder::AppendFile(std::string& out, std::uint32_t number, std::string_view name,
                                   platform::FileTime last_write, bool writable) {
  out += "        <File";
  AppendNumber(out, number);
  out += ">\n            <Filename>";
  AppendXmlText(out, name);
  out += "</Filename>\n            <TimeLow>";
  AppendNumber(out, static_cast<std::uint32_t>(last_write & 0xFFFFFFFFu));
  out += "</TimeLow>\n            <TimeHigh>";
  AppendNumber(out, static_cast<std::uint32_t>(last_write >> 32));
  out += "</TimeHigh>\n            <Write>";
  out += writable ? "true" : "false";
  out += "</Write>\n        </File";
  AppendNumber(out, number);
  out += ">\n";
}

void ScanResultBuilder::AddFile(std::string_view name, platform::FileTime last_write,
                                std::uint64_t size) {
  total_size_ += size;
  if (!folder_open_) OpenFolder();
  Folder& folder = folders_.back();
  std::uint32_t number = ++folder.files;
  if (need_writable_) AppendFile(folder.writable_files, number, name, last_write, true);
  if (need_readonly_) AppendFile(folder.readonly_files, number, name, last_write, false);
}

const std::string& ScanResultBuilder::FilesOf(const Folder& folder, std::size_t user) const {
  static const std::string kInvisible = "        <Invisible>true</Invisible>\n";
  switch (kinds_[folder.kinds][user]) {
    case kWritable:
      return folder.writable_files;
    case kReadOnly:
      return folder.readonly_files;
    default:
      return kInvisible;
  }
}

void ScanResultBuilder::Build(std::size_t user, std::string& out) const {
  std::size_t size = kDeclaration.size() + 64;
  for (const Folder& folder : folders_) {
    size += folder.head.size() + FilesOf(folder, user).size() + folder.tail.size();
  }
  // Growing would double the capacity and hold old and new buffers at once.
  if (out.capacity() < size) std::string().swap(out);
  out.clear();
  out.reserve(size);
  out += kDeclaration;
  out += "\n<Scanresult>\n";
  for (const Folder& folder : folders_) {
    out += folder.head;
    out += FilesOf(folder, user);
    out += folder.tail;
  }
  out += "    <TotalSize>";
  AppendSigned(out, static_cast<std::int64_t>(total_size_));
  out += "</TotalSize>\n</Scanresult>\n";
}

std::vector<std::uint32_t> ScanResultBuilder::Twins() const {
  // Starting from one class of all users, each distinct kind list in use
  // splits the classes by kind; a class is named by its first user.
  constexpr std::uint32_t kNone = UINT32_MAX;
  constexpr std::size_t kKinds = kWritable + 1;
  std::vector<std::uint32_t> twins(user_count_, 0);
  std::vector<bool> applied(kinds_.size(), false);
  std::vector<std::uint32_t> first(user_count_ * kKinds);
  for (const Folder& folder : folders_) {
    if (applied[folder.kinds]) continue;
    applied[folder.kinds] = true;
    const std::vector<std::uint8_t>& kinds = kinds_[folder.kinds];
    std::fill(first.begin(), first.end(), kNone);
    for (std::size_t u = 0; u < user_count_; ++u) {
      std::uint32_t& split = first[twins[u] * kKinds + kinds[u]];
      if (split == kNone) split = static_cast<std::uint32_t>(u);
      twins[u] = split;
    }
  }
  return twins;
}

}  // namespace kestrel::projects
