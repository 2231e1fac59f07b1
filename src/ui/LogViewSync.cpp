#include "ui/LogViewSync.h"

#include <algorithm>

namespace kestrel::ui {

LogViewUpdate PlanLogViewUpdate(const std::vector<std::string>& shown,
                                const std::vector<std::string>& model) {
  // The fewest lines dropped such that what stays on screen starts the model;
  // dropping everything always qualifies.
  for (std::size_t drop = 0; drop < shown.size(); ++drop) {
    const std::size_t kept = shown.size() - drop;
    if (kept > model.size()) continue;
    if (std::equal(shown.begin() + static_cast<std::ptrdiff_t>(drop), shown.end(), model.begin())) {
      return LogViewUpdate{drop, kept};
    }
  }
  return LogViewUpdate{shown.size(), 0};
}

LogViewUpdate LogViewMirror::Update(const std::vector<std::string>& model) {
  LogViewUpdate update = PlanLogViewUpdate(shown_, model);
  shown_.erase(shown_.begin(), shown_.begin() + static_cast<std::ptrdiff_t>(update.drop_front));
  shown_.insert(shown_.end(), model.begin() + static_cast<std::ptrdiff_t>(update.append_from),
                model.end());
  return update;
}

}  // namespace kestrel::ui
