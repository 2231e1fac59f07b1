#include "logging/LoggingDialog.h"

#include <utility>

#include "logging/LogFiles.h"
#include "support/WindowMessages.h"

namespace kestrel {

CLoggingDialog::CLoggingDialog(platform::MessageLoop* main_window, int display_level,
                               platform::Clock& clock, LineObserver observer)
    : main_window_(main_window),
      clock_(clock),
      observer_(std::move(observer)),
      display_level_(display_level) {}

void CLoggingDialog::Init(std::intptr_t ready_tag) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    visible_ = false;
  }
  if (main_window_ != nullptr) main_window_->Post(WM_LOG_READY, ready_tag);
}

std::intptr_t CLoggingDialog::HandleMessage(platform::MessageLoop& loop,
                                            platform::Message& message) {
  switch (message.id) {
    case WM_LOG_RECORD:
      OnLogRecord(message.Take<LogRecord>());
      return 1;
    case WM_LOG_SHOW:
      Show();
      return 1;
    case WM_LOG_CLOSE:
      loop.Quit(1);  // as if OK were pressed
      return 1;
    case WM_CLOSE:
      Hide();
      return 1;
    case WM_COMMAND:
      return OnCommand(static_cast<int>(message.wparam)) ? 1 : 0;
    default:
      return 0;
  }
}

void CLoggingDialog::OnLogRecord(std::unique_ptr<LogRecord> record) {
  if (!record) return;
  // One reading of the clock for the line and the file name, so a line stamped
  // 31.01. never lands in the February file.
  const platform::LocalTime now = clock_.Local();
  std::string line = FormatLogbookLine(now, record->level, record->text);

  if (record->level == kLogError || record->level == kLogWarning) {
    AppendLogLine(LogbookFileName(now), line);  // a line that cannot be written is lost
  }

  bool shown = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (record->level <= display_level_) {
      AppendToView(line);
      shown = true;
    }
  }
  if (shown && observer_) observer_(line, record->level);
}

void CLoggingDialog::AppendToView(std::string line) {
  if (lines_.size() >= kMaxLines) {
    chars_ -= lines_.front().size() + 2;
    lines_.pop_front();
  }
  // A single line longer than the whole view keeps only what fits.
  if (line.size() + 2 > kTextLimit) line.resize(kTextLimit - 2);
  while (!lines_.empty() && chars_ + line.size() + 2 > kTextLimit) {
    chars_ -= lines_.front().size() + 2;
    lines_.pop_front();
  }
  chars_ += line.size() + 2;
  lines_.push_back(std::move(line));
}

void CLoggingDialog::Show() {
  std::lock_guard<std::mutex> lock(mu_);
  visible_ = true;
}

void CLoggingDialog::Hide() {
  std::lock_guard<std::mutex> lock(mu_);
  visible_ = false;
}

void CLoggingDialog::SetDisplayLevel(int level) {
  std::lock_guard<std::mutex> lock(mu_);
  display_level_ = level;
}

void CLoggingDialog::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
  chars_ = 0;
}

bool CLoggingDialog::OnCommand(int control_id) {
  switch (control_id) {
    case kIdHide:
      Hide();
      return true;
    case kIdRadioError:
      SetDisplayLevel(kLogError);
      return true;
    case kIdRadioWarning:
      SetDisplayLevel(kLogWarning);
      return true;
    case kIdRadioInfo:
      SetDisplayLevel(kLogInfo);
      return true;
    case kIdClear:
      Clear();
      return true;
    default:
      return false;
  }
}

CLoggingDialog::Snapshot CLoggingDialog::GetSnapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  Snapshot s;
  s.lines.assign(lines_.begin(), lines_.end());
  s.text.reserve(chars_);
  for (const std::string& line : lines_) {
    s.text += line;
    s.text += "\r\n";
  }
  s.visible = visible_;
  s.display_level = display_level_;
  return s;
}

std::vector<std::string> CLoggingDialog::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::vector<std::string>(lines_.begin(), lines_.end());
}

std::string CLoggingDialog::Text() const {
  return GetSnapshot().text;
}

std::size_t CLoggingDialog::TextLength() const {
  std::lock_guard<std::mutex> lock(mu_);
  return chars_;
}

bool CLoggingDialog::visible() const {
  std::lock_guard<std::mutex> lock(mu_);
  return visible_;
}

int CLoggingDialog::display_level() const {
  std::lock_guard<std::mutex> lock(mu_);
  return display_level_;
}

}  // namespace kestrel
