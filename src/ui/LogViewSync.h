#pragma once
// Keeps a widget's copy of the logging window's lines equal to the model's.
// The model only ever appends lines at the end, drops the oldest ones from the
// front (500 lines, 64000 characters) or clears everything, so the lines on
// screen become the model's by dropping some from the front and appending the
// rest. Knows no toolkit.
#include <cstddef>
#include <string>
#include <vector>

namespace kestrel::ui {

struct LogViewUpdate {
  std::size_t drop_front = 0;   // lines to remove from the top of the view
  std::size_t append_from = 0;  // the model's lines from this index on go to the bottom
};

// shown: the lines on screen; model: the model's lines, oldest first. The
// result turns shown into model. Appending may leave the view's text the same
// when lines repeat; the text after the update always equals the model's.
LogViewUpdate PlanLogViewUpdate(const std::vector<std::string>& shown,
                                const std::vector<std::string>& model);

// The lines on screen, updated the same way the widget is.
class LogViewMirror {
 public:
  // Plans the update towards model and applies it to the mirror.
  LogViewUpdate Update(const std::vector<std::string>& model);
  void Reset() { shown_.clear(); }
  const std::vector<std::string>& lines() const { return shown_; }

 private:
  std::vector<std::string> shown_;
};

}  // namespace kestrel::ui
