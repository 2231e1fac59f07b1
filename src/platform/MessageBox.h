#pragma once
// Where message boxes go. The core decides what to say; a front end decides
// how to show it. Headless: texts go to stderr and return at once, questions
// are answered yes, so no thread ever blocks on a box.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

class MessageBoxSink {
 public:
  virtual ~MessageBoxSink() = default;
  // Shows an 8-bit (Latin-1) text with an OK button.
  virtual void Show(std::string_view text) = 0;
  // Asks a yes/no question; true for yes.
  virtual bool Ask(std::string_view question) = 0;
};

class HeadlessMessageBox final : public MessageBoxSink {
 public:
  // print_questions false: questions are answered yes without a line (a
  // service has nobody to ask; its signals are the answer).
  explicit HeadlessMessageBox(bool print_questions = true) : print_questions_(print_questions) {}
  void Show(std::string_view text) override;
  bool Ask(std::string_view question) override;

 private:
  bool print_questions_;
};

// Records every box; answers questions with a preset answer. Thread-safe.
class CapturingMessageBox final : public MessageBoxSink {
 public:
  explicit CapturingMessageBox(bool answer = true) : answer_(answer) {}
  void Show(std::string_view text) override;
  bool Ask(std::string_view question) override;
  std::vector<std::string> Shown() const;
  std::vector<std::string> Asked() const;
  void Clear();

 private:
  bool answer_;
  mutable std::mutex mu_;
  std::vector<std::string> shown_;  // guarded by mu_
  std::vector<std::string> asked_;  // guarded by mu_
};

// The process-wide sink used by code that reports on its own (file and socket
// errors). Defaults to a HeadlessMessageBox.
MessageBoxSink& MessageBoxes();
// sink: borrowed, must outlive its use; null restores the headless default.
void SetMessageBoxes(MessageBoxSink* sink);

// Converts 8-bit system text to UTF-8 for terminals and toolkits.
std::string Latin1ToUtf8(std::string_view text);

}  // namespace kestrel::platform
