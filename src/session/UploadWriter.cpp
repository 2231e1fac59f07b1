#include "session/UploadWriter.h"

#include <span>

namespace kestrel {

UploadWriter::~UploadWriter() {
  Abandon();
}

void UploadWriter::Begin(CFileNeu& file, StreamExtractor* unpacking, bool queued) {
  Abandon();
  file_ = &file;
  unpacking_ = unpacking;
  queued_ = queued;
  filling_ = 0;
  handed_ = taken_ = 0;
  closing_ = false;
  write_failed_ = false;
  unpack_failed_ = false;
  dropping_ = false;
  const std::size_t blocks = queued ? kQueued : 1;
  for (std::size_t i = 0; i < blocks; ++i) {
    if (!blocks_[i]) blocks_[i] = std::make_unique<std::uint8_t[]>(kBlock);
  }
  if (queued) thread_ = std::thread([this] { Run(); });
}

std::uint8_t* UploadWriter::Room(std::size_t bytes) {
  if (filling_ + bytes > kBlock) HandOn();
  const std::size_t current = queued_ ? handed_ % kQueued : 0;  // handed_ changes here only
  return blocks_[current].get() + filling_;
}

void UploadWriter::Add(std::size_t bytes) {
  filling_ += bytes;
}

void UploadWriter::HandOn() {
  if (filling_ == 0) return;
  if (!queued_) {
    Take(blocks_[0].get(), filling_);
    filling_ = 0;
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    sizes_[handed_ % kQueued] = filling_;
    ++handed_;
    // The next block is free once the thread has taken the one kQueued back.
    changed_.notify_all();
    changed_.wait(lock, [&] { return handed_ - taken_ < kQueued; });
  }
  filling_ = 0;
}

void UploadWriter::Take(const std::uint8_t* data, std::size_t bytes) {
  if (dropping_.load()) return;
  if (!write_failed_.load() && !file_->Write(data, bytes)) write_failed_ = true;
  if (unpacking_ != nullptr && !unpack_failed_.load() &&
      !unpacking_->Feed(std::span<const std::uint8_t>(data, bytes))) {
    unpack_failed_ = true;
  }
}

void UploadWriter::Run() {
  for (;;) {
    std::size_t index = 0;
    std::size_t bytes = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return taken_ < handed_ || closing_; });
      if (taken_ == handed_) return;  // closing, and every block is done
      index = taken_ % kQueued;
      bytes = sizes_[index];
    }
    Take(blocks_[index].get(), bytes);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++taken_;
    }
    changed_.notify_all();
  }
}

void UploadWriter::Join() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

UploadWriter::Outcome UploadWriter::Finish() {
  if (file_ == nullptr) return {};
  HandOn();
  Join();
  const Outcome outcome{!write_failed_.load(), unpacking_ != nullptr && !unpack_failed_.load()};
  file_ = nullptr;
  unpacking_ = nullptr;
  return outcome;
}

void UploadWriter::Abandon() {
  if (file_ == nullptr) return;
  dropping_ = true;
  Join();
  file_ = nullptr;
  unpacking_ = nullptr;
  filling_ = 0;
}

}  // namespace kestrel
