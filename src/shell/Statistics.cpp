#include "shell/Statistics.h"

#include <algorithm>

#include "logging/LogChannel.h"

namespace kestrel {

void Statistics::Reset() {
  current_ = today_ = parallel_today_ = 0;
  line_current_ = StringPrintf("current connections: %d", current_);
}

void Statistics::OnHandOff() {
  ++current_;
  ++today_;
  parallel_today_ = std::max(parallel_today_, current_);
  line_current_ = StringPrintf("active connections: %d", current_);
}

void Statistics::OnConnectionGone() {
  --current_;
  line_current_ = StringPrintf("active connections: %d", current_);
}

void Statistics::OnDayChange() {
  today_ = current_;
  parallel_today_ = current_;
}

std::string Statistics::line_today() const {
  return StringPrintf("total number connections today: %d", today_);
}

std::string Statistics::line_parallel() const {
  return StringPrintf("number parallel connections today: %d", parallel_today_);
}

}  // namespace kestrel
