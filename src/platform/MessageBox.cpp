#include "platform/MessageBox.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrel::platform {
namespace {

// Writes the whole line in as few write() calls as the terminal allows, so
// boxes from several threads do not interleave within a line.
void WriteLine(std::string_view text) {
  std::string line = Latin1ToUtf8(text);
  line += '\n';
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t put = ::write(STDERR_FILENO, p, left);
    if (put <= 0) {
      if (put < 0 && errno == EINTR) continue;
      return;
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
}

std::atomic<MessageBoxSink*> g_sink{nullptr};  // borrowed from SetMessageBoxes' caller

}  // namespace

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

void HeadlessMessageBox::Show(std::string_view text) {
  WriteLine(text);
}

bool HeadlessMessageBox::Ask(std::string_view question) {
  if (print_questions_) WriteLine(question);
  return true;
}

void CapturingMessageBox::Show(std::string_view text) {
  std::lock_guard<std::mutex> lock(mu_);
  shown_.emplace_back(text);
}

bool CapturingMessageBox::Ask(std::string_view question) {
  std::lock_guard<std::mutex> lock(mu_);
  asked_.emplace_back(question);
  return answer_;
}

std::vector<std::string> CapturingMessageBox::Shown() const {
  std::lock_guard<std::mutex> lock(mu_);
  return shown_;
}

std::vector<std::string> CapturingMessageBox::Asked() const {
  std::lock_guard<std::mutex> lock(mu_);
  return asked_;
}

void CapturingMessageBox::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  shown_.clear();
  asked_.clear();
}

MessageBoxSink& MessageBoxes() {
  static HeadlessMessageBox headless;
  MessageBoxSink* sink = g_sink.load(std::memory_order_acquire);
  return sink != nullptr ? *sink : headless;
}

void SetMessageBoxes(MessageBoxSink* sink) {
  g_sink.store(sink, std::memory_order_release);
}

}  // namespace kestrel::platform
