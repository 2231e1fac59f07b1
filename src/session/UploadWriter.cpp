#include "session/UploadWriter.h"

namespace kestrel {

UploadWriter::~UploadWriter() {
  Abandon();
}

void UploadWriter::Begin(CFileNeu& file, StreamExtractor* unpacking, bool queued) {
  Abandon();
  file_ = &file;
  extractor_ = unpacking;
  queued_ = queued;
  filling_ = 0;
  handed_ = taken_ = 0;
  closing_ = false;
  failed_ = false;
  unpacking_ = unpacking != nullptr;
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
    Take(std::span<const std::uint8_t>(blocks_[0].get(), filling_));
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

void UploadWriter::Take(std::span<const std::uint8_t> block) {
  if (dropping_.load() || failed_.load()) return;
  if (!unpacking_.load()) {
    Write(block);
    return;
  }
  if (extractor_->Feed(block)) return;
  unpacking_ = false;
  if (extractor_->declined()) {
    Write(extractor_->held());  // every byte so far, this block's too
  } else {
    failed_ = true;
  }
}

void UploadWriter::Write(std::span<const std::uint8_t> bytes) {
  if (!file_->Write(bytes.data(), bytes.size())) failed_ = true;
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
    Take(std::span<const std::uint8_t>(blocks_[index].get(), bytes));
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
  const Outcome outcome{!failed_.load(), !failed_.load() && unpacking_.load()};
  file_ = nullptr;
  extractor_ = nullptr;
  return outcome;
}

void UploadWriter::Abandon() {
  if (file_ == nullptr) return;
  dropping_ = true;
  Join();
  file_ = nullptr;
  extractor_ = nullptr;
  filling_ = 0;
}

}  // namespace kestrel
