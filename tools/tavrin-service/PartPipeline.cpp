#include "tools/tavrin-service/PartPipeline.h"

#include <algorithm>

namespace tavrin::service {

namespace {

// Buffers kept for the next parts: a fresh megabyte each time would be
// mapped, faulted in, zeroed and unmapped again for every part.
class BufferPool {
  public:
    std::vector<char> take(std::size_t size) {
        std::lock_guard lock(mutex_);
        for (auto it = free_.begin(); it != free_.end(); ++it)
            if (it->capacity() == size) {
                std::vector<char> buffer = std::move(*it);
                free_.erase(it);
                return buffer;
            }
        std::vector<char> buffer;
        buffer.reserve(size);
        return buffer;
    }
    void give(std::vector<char> buffer) {
        buffer.clear();
        std::lock_guard lock(mutex_);
        if (free_.size() < kKept && buffer.capacity() > 0)
            free_.push_back(std::move(buffer));
    }

  private:
    static constexpr std::size_t kKept = 16;
    std::mutex mutex_;
    std::vector<std::vector<char>> free_;
};

BufferPool& pool() {
    static BufferPool instance;
    return instance;
}

} // namespace

PartPipeline::PartPipeline(Store store, std::size_t buffers, std::size_t bufferSize)
    : store_(std::move(store)), bufferSize_(bufferSize) {
    for (std::size_t i = 1; i < buffers; ++i)
        free_.push_back(pool().take(bufferSize));
    current_ = pool().take(bufferSize);
    thread_ = std::thread([this] { run(); });
}

PartPipeline::~PartPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    thread_.join();
    pool().give(std::move(current_));
    for (auto& buffer : free_)
        pool().give(std::move(buffer));
    for (auto& buffer : full_)
        pool().give(std::move(buffer));
}

void PartPipeline::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopped_ || !full_.empty() || closing_; });
        if (stopped_ || (full_.empty() && closing_))
            return;
        std::vector<char> buffer = std::move(full_.front());
        full_.pop_front();
        busy_ = true;
        bool stored = false;
        if (!failed_) {
            lock.unlock();
            stored = store_(buffer.data(), buffer.size());
            lock.lock();
        }
        failed_ = failed_ || !stored;
        busy_ = false;
        buffer.clear();
        free_.push_back(std::move(buffer));
        changed_.notify_all();
    }
}

bool PartPipeline::submitCurrent() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty() || failed_; });
    if (failed_)
        return false;
    full_.push_back(std::move(current_));
    current_ = std::move(free_.front());
    free_.pop_front();
    changed_.notify_all();
    return true;
}

bool PartPipeline::push(const char* data, std::size_t length) {
    while (length > 0) {
        std::size_t take = std::min(bufferSize_ - current_.size(), length);
        current_.insert(current_.end(), data, data + take);
        data += take;
        length -= take;
        if (current_.size() == bufferSize_ && !submitCurrent())
            return false;
    }
    return true;
}

bool PartPipeline::close() {
    if (!current_.empty() && !submitCurrent())
        return false;
    std::unique_lock lock(mutex_);
    closing_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return (full_.empty() && !busy_) || failed_; });
    return !failed_;
}

} // namespace tavrin::service
