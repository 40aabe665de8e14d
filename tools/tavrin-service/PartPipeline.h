#pragma once
// Hands the bytes of one upload part from the thread that receives them to a
// thread of its own that stores and digests them, through a few fixed
// buffers, so storing one piece overlaps with receiving the next. Memory is
// bounded by the buffers (4 × 1 MiB); a full pipeline makes push() wait.
//
// Threads: push() and close() are called by one (receiving) thread; `store`
// runs on the pipeline's own thread, one buffer after another, in order.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin::service {

class PartPipeline {
  public:
    // store(data, length) stores the next bytes; false stops the pipeline.
    using Store = std::function<bool(const char* data, std::size_t length)>;

    explicit PartPipeline(Store store, std::size_t buffers = 4, std::size_t bufferSize = 1 << 20);
    // Stops without storing what is still queued.
    ~PartPipeline();
    PartPipeline(const PartPipeline&) = delete;
    PartPipeline& operator=(const PartPipeline&) = delete;

    // Queues a copy of the bytes; false once storing has failed.
    bool push(const char* data, std::size_t length);
    // Stores everything queued and ends the thread; true when every store succeeded.
    bool close();

  private:
    void run();
    bool submitCurrent();

    Store store_;
    std::size_t bufferSize_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<char>> free_;
    std::deque<std::vector<char>> full_;
    std::vector<char> current_;
    bool busy_ = false; // a buffer is being stored
    bool closing_ = false;
    bool failed_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

} // namespace tavrin::service
