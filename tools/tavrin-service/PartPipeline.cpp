#include "tools/tavrin-service/PartPipeline.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tavrin::service {

namespace {

constexpr std::size_t kAlignment = 4096;

// Buffers kept for the next parts: a fresh megabyte each time would be
// mapped, faulted in, zeroed and unmapped again for every part.
class BufferPool {
  public:
    PartPipeline::Buffer take(std::size_t size) {
        {
            std::lock_guard lock(mutex_);
            for (auto it = free_.begin(); it != free_.end(); ++it)
                if (it->second == size) {
                    PartPipeline::Buffer buffer = std::move(it->first);
                    free_.erase(it);
                    return buffer;
                }
        }
        void* memory =
            std::aligned_alloc(kAlignment, (size + kAlignment - 1) / kAlignment * kAlignment);
        if (memory == nullptr)
            throw std::bad_alloc();
        return PartPipeline::Buffer(static_cast<char*>(memory));
    }
    void give(PartPipeline::Buffer buffer, std::size_t size) {
        std::lock_guard lock(mutex_);
        if (free_.size() < kKept && buffer)
            free_.emplace_back(std::move(buffer), size);
    }

  private:
    static constexpr std::size_t kKept = 24;
    std::mutex mutex_;
    std::vector<std::pair<PartPipeline::Buffer, std::size_t>> free_;
};

BufferPool& pool() {
    static BufferPool instance;
    return instance;
}

} // namespace

void PartPipeline::FreeBuffer::operator()(char* buffer) const {
    std::free(buffer);
}

PartPipeline::PartPipeline(std::vector<Stage> stages, std::size_t buffers, std::size_t bufferSize,
                           Stage first)
    : first_(std::move(first)), stages_(std::move(stages)), bufferSize_(bufferSize),
      lengths_(std::max<std::size_t>(buffers, 2)), finished_(stages_.size(), 0) {
    for (std::size_t i = 0; i < lengths_.size(); ++i)
        buffers_.push_back(pool().take(bufferSize_));
    for (std::size_t i = 0; i < stages_.size(); ++i)
        threads_.emplace_back([this, i] { run(i); });
}

PartPipeline::~PartPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_)
        thread.join();
    for (auto& buffer : buffers_)
        pool().give(std::move(buffer), bufferSize_);
}

std::uint64_t PartPipeline::oldestUnfinishedLocked(std::size_t stages) const {
    std::uint64_t oldest = submitted_;
    for (std::size_t i = 0; i < std::min(stages, finished_.size()); ++i)
        oldest = std::min(oldest, finished_[i]);
    return oldest;
}

void PartPipeline::run(std::size_t stage) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(
            lock, [&] { return stopped_ || failed_ || finished_[stage] < submitted_ || closing_; });
        if (stopped_ || failed_ || finished_[stage] == submitted_)
            return; // stopped, failed, or closing with nothing left
        const std::uint64_t piece = finished_[stage];
        const std::size_t slot = piece % buffers_.size();
        const char* data = buffers_[slot].get();
        const std::size_t length = lengths_[slot];
        lock.unlock();
        bool ok = stages_[stage](piece, data, length);
        lock.lock();
        failed_ = failed_ || !ok;
        ++finished_[stage];
        changed_.notify_all();
    }
}

bool PartPipeline::submitCurrent() {
    // Only this thread changes submitted_, and the piece's buffer is its own
    // until it is handed on.
    const bool firstDone =
        !first_ || first_(submitted_, buffers_[submitted_ % buffers_.size()].get(), filled_);
    std::unique_lock lock(mutex_);
    if (!firstDone) {
        failed_ = true;
        changed_.notify_all();
    }
    if (failed_)
        return false;
    lengths_[submitted_ % buffers_.size()] = filled_;
    ++submitted_;
    filled_ = 0;
    changed_.notify_all();
    // The next piece goes into the buffer the oldest unfinished piece may still use.
    changed_.wait(lock, [&] {
        return failed_ || submitted_ - oldestUnfinishedLocked(finished_.size()) < buffers_.size();
    });
    return !failed_;
}

bool PartPipeline::push(const char* data, std::size_t length) {
    return pushFrom(length, [&data](char* into, std::size_t size) {
        std::memcpy(into, data, size);
        data += size;
        return static_cast<std::ptrdiff_t>(size);
    });
}

bool PartPipeline::pushFrom(std::size_t length, const Reader& read) {
    while (length > 0) {
        char* current = buffers_[submitted_ % buffers_.size()].get();
        const std::ptrdiff_t n = read(current + filled_, std::min(bufferSize_ - filled_, length));
        if (n <= 0)
            return true;
        filled_ += static_cast<std::size_t>(n);
        length -= static_cast<std::size_t>(n);
        if (filled_ == bufferSize_ && !submitCurrent())
            return false;
    }
    return true;
}

bool PartPipeline::flush(std::size_t stages) {
    if (filled_ > 0 && !submitCurrent())
        return false;
    std::unique_lock lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return oldestUnfinishedLocked(stages) == submitted_ || failed_; });
    return !failed_;
}

bool PartPipeline::close() {
    return flush(stages_.size());
}

} // namespace tavrin::service
