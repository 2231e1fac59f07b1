#include "Terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace kestrel::cli {

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

namespace {

// Restores the terminal's settings on every way out.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
  return 80;
}

std::string Clock(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

std::optional<std::string> PromptSecret(const std::string& prompt) {
  Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return std::nullopt;
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return std::nullopt;
  std::string line;
  {
    EchoOff quiet(tty.get());
    char c = 0;
    for (;;) {
      const ssize_t n = ::read(tty.get(), &c, 1);
      if (n <= 0) return std::nullopt;
      if (c == '\n' || c == '\r') break;
      line += c;
    }
  }
  return line;
}

std::string HumanSize(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  }
  return text;
}

Progress::Progress(bool enabled, std::string label, std::uint64_t total)
    : enabled_(enabled), label_(std::move(label)), total_(total) {
  start_ = std::chrono::steady_clock::now();
  last_draw_ = start_;
}

Progress::~Progress() {
  Finish();
}

void Progress::Add(std::uint64_t bytes) {
  done_ += bytes;
  Draw(!drawn_);
}

void Progress::Finish() {
  if (!enabled_) return;
  if (drawn_) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  enabled_ = false;
}

void Progress::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0.0 ? static_cast<double>(done_) / elapsed : 0.0;
  std::string tail = HumanSize(done_);
  if (total_ > 0) tail += " / " + HumanSize(total_);
  tail += "  " + HumanSize(static_cast<std::uint64_t>(rate)) + "/s";
  if (total_ > 0 && rate > 0 && done_ <= total_) {
    tail += "  " + Clock(static_cast<double>(total_ - done_) / rate) + " left";
  }
  std::string bar;
  const int room = TerminalWidth() - static_cast<int>(tail.size()) - 4;
  if (total_ > 0 && room > 30) {
    const int cells = std::min(30, room - 20);
    const double part = std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_));
    const int full = static_cast<int>(part * cells);
    bar = " [" + std::string(static_cast<std::size_t>(full), '#') +
          std::string(static_cast<std::size_t>(cells - full), '-') + "]";
  }
  Show(bar, tail);
}

void Progress::Say(const std::string& text) {
  if (!enabled_) return;
  Show("", text);
}

void Progress::Show(const std::string& bar, const std::string& tail) {
  std::string label = label_;
  const int label_room = TerminalWidth() - static_cast<int>(tail.size() + bar.size()) - 3;
  if (label_room < 4) {
    label.clear();
  } else if (static_cast<int>(label.size()) > label_room) {
    label = "..." + label.substr(label.size() - static_cast<std::size_t>(label_room - 3));
  }
  std::fprintf(stderr, "\r\033[K%s%s  %s", label.c_str(), bar.c_str(), tail.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

namespace {

const char* PhaseText(client::TransferPhase phase) {
  switch (phase) {
    case client::TransferPhase::kPacking:
      return "packing ...";
    case client::TransferPhase::kPreparing:
      return "preparing on the server ...";
    case client::TransferPhase::kFinishing:
      return "finishing ...";
    case client::TransferPhase::kMoving:
    case client::TransferPhase::kEnded:
      break;
  }
  return "";
}

}  // namespace

void TransferLine::OnProgress(const client::TransferProgress& progress) {
  using client::TransferPhase;
  if (progress.phase == TransferPhase::kEnded) {
    line_.reset();
    return;
  }
  if (progress.phase != phase_) {
    phase_ = progress.phase;
    // Moving starts a fresh line, so the rate counts from the first chunk.
    if (progress.phase == TransferPhase::kMoving || !line_) line_.emplace(enabled_, label_, 0);
    if (progress.phase != TransferPhase::kMoving) line_->Say(PhaseText(progress.phase));
  }
  if (progress.phase != TransferPhase::kMoving) return;
  line_->SetTotal(progress.total);
  if (progress.done > shown_) line_->Add(progress.done - shown_);
  shown_ = progress.done;
}

}  // namespace kestrel::cli
