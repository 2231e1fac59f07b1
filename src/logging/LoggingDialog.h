#pragma once
// The logging window as a model: it formats every LogRecord into one logbook
// line, appends Error and Warning lines to the monthly logbook file and keeps
// the bounded text view that front ends show. The core draws nothing.
//
// Threads: HandleMessage and OnLogRecord run on the logging thread only (the
// only writer of the logbook file). The view state is guarded by mu_, so the
// snapshot getters and the user commands (Show, Hide, SetDisplayLevel, Clear,
// OnCommand) may be called from any thread.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/LogRecord.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"

namespace kestrel {

class CLoggingDialog {
 public:
  // Called on the logging thread for every line the view shows (line without CR LF).
  using LineObserver = std::function<void(const std::string& line, int level)>;

  // Control identifiers of the window's layout.
  static constexpr int kIdHide = 1000;
  static constexpr int kIdRadioError = 1002;
  static constexpr int kIdRadioWarning = 1003;
  static constexpr int kIdRadioInfo = 1004;
  static constexpr int kIdTextView = 1008;
  static constexpr int kIdClear = 1011;
  // The text view keeps at most this many lines and characters (CR LF included).
  static constexpr std::size_t kMaxLines = 500;
  static constexpr std::size_t kTextLimit = 64000;

  struct Snapshot {
    std::vector<std::string> lines;  // oldest first, without CR LF
    std::string text;                // the view's text: every line followed by CR LF
    bool visible = false;
    int display_level = 0;
  };

  // main_window: borrowed; receives WM_LOG_READY from Init; must outlive Init.
  // clock: borrowed; must outlive this object. display_level: the configured LogLevel.
  CLoggingDialog(platform::MessageLoop* main_window, int display_level, platform::Clock& clock,
                 LineObserver observer = {});
  CLoggingDialog(const CLoggingDialog&) = delete;
  CLoggingDialog& operator=(const CLoggingDialog&) = delete;

  // Logging thread, once, before its loop runs: the window stays hidden;
  // posts WM_LOG_READY to the main window with ready_tag in wparam, so the
  // main window can tell which start of the logging window reports.
  void Init(std::intptr_t ready_tag = 0);

  // Logging thread: the handler of the logging loop. WM_LOG_RECORD,
  // WM_LOG_SHOW, WM_LOG_CLOSE (quits `loop`), WM_CLOSE (the close box) and
  // WM_COMMAND (a control id of the layout in wparam).
  // Returns 1 when the message was one of these, 0 otherwise.
  std::intptr_t HandleMessage(platform::MessageLoop& loop, platform::Message& message);

  // Logging thread: writes and shows one record, then frees it. Null is ignored.
  void OnLogRecord(std::unique_ptr<LogRecord> record);

  // Any thread: user commands.
  void Show();                      // WM_LOG_SHOW: visible
  void Hide();                      // "Hide" button and close box: hidden
  void SetDisplayLevel(int level);  // radio selection
  void Clear();                     // "Clear": empties the view
  bool OnCommand(int control_id);   // 1000, 1002..1004, 1011; false for others

  // Any thread: the view as front ends and tests see it.
  Snapshot GetSnapshot() const;
  std::vector<std::string> Lines() const;
  std::string Text() const;
  std::size_t TextLength() const;  // the insertion position
  bool visible() const;
  int display_level() const;

 private:
  // Appends line + CR LF to the view, dropping the oldest lines past the bounds.
  void AppendToView(std::string line);  // requires mu_

  platform::MessageLoop* const main_window_;  // borrowed, see constructor
  platform::Clock& clock_;                    // borrowed, see constructor
  const LineObserver observer_;               // logging thread calls it

  mutable std::mutex mu_;
  std::deque<std::string> lines_;  // guarded by mu_
  std::size_t chars_ = 0;          // guarded by mu_; sum of line sizes + 2 each
  bool visible_ = false;           // guarded by mu_
  int display_level_;              // guarded by mu_
};

}  // namespace kestrel
