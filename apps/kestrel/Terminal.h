#pragma once
// The terminal side of the command: password prompts without echo, and a
// progress line on stderr for transfers when stderr is a terminal.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "client/Transfer.h"

namespace kestrel::cli {

bool StderrIsTerminal();

// Asks on /dev/tty with echo off; nullopt when there is no terminal or the
// input ended.
std::optional<std::string> PromptSecret(const std::string& prompt);

// "1.2 MiB", "512 B".
std::string HumanSize(std::uint64_t bytes);

// One transfer's progress line: bytes, rate and (with a known total) a bar and
// the time left, or a word for a step without bytes ("preparing ...").
// Drawn at most ten times a second, erased when done. Does nothing when
// disabled. Main thread only.
class Progress {
 public:
  // total: bytes expected, 0 when unknown.
  Progress(bool enabled, std::string label, std::uint64_t total);
  ~Progress();  // erases the line
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Add(std::uint64_t bytes);
  // The total became known (0: still unknown).
  void SetTotal(std::uint64_t total) { total_ = total; }
  // Shows the label and text instead of the bytes, until the next Add.
  void Say(const std::string& text);
  void Finish();

 private:
  void Draw(bool force);
  // Draws the label, shortened to what the terminal leaves beside bar and tail.
  void Show(const std::string& bar, const std::string& tail);

  bool enabled_;
  bool drawn_ = false;
  std::string label_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// Draws a transfer's progress reports as a Progress line: a word for packing,
// preparing and finishing, bytes with the total when it is known while chunks
// move (the rate and time left count from the first chunk).
class TransferLine : public client::TransferObserver {
 public:
  TransferLine(bool enabled, std::string label) : enabled_(enabled), label_(std::move(label)) {}
  void OnProgress(const client::TransferProgress& progress) override;

 private:
  bool enabled_;
  std::string label_;
  std::optional<Progress> line_;
  std::optional<client::TransferPhase> phase_;  // the phase the line shows
  std::uint64_t shown_ = 0;                     // bytes already added to the line
};

}  // namespace kestrel::cli
