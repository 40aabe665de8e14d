#include "tools/tavrin-service/PartPipeline.h"

#include <algorithm>

namespace tavrin::service {

PartPipeline::PartPipeline(Store store, std::size_t buffers, std::size_t bufferSize)
    : store_(std::move(store)), bufferSize_(bufferSize) {
    for (std::size_t i = 1; i < buffers; ++i) {
        free_.emplace_back();
        free_.back().reserve(bufferSize);
    }
    current_.reserve(bufferSize);
    thread_ = std::thread([this] { run(); });
}

PartPipeline::~PartPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
    thread_.join();
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
