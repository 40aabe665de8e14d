#pragma once
// Hands the bytes of one upload part from the thread that receives them to
// stages, through a ring of fixed buffers: an optional first stage that the
// receiving thread runs itself as each piece fills (storing it), then stages
// that each run on a thread of their own (digesting it), so they work on one
// piece while the next is received. Each stage sees every buffer, in order; a
// buffer is filled again once all stages are done with it. Memory is bounded
// by the buffers; a full ring makes push() wait.
//
// Buffers start at a page boundary, and every buffer but the last of a part
// is full.
//
// Threads: push() and close() are called by one (receiving) thread, which
// also runs the first stage; each other stage runs on its own thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrin::service {

class PartPipeline {
  public:
    // stage(piece, data, length) takes piece number `piece` (0, 1, ...; each
    // but the last has bufferSize bytes); false stops the pipeline.
    using Stage = std::function<bool(std::uint64_t piece, const char* data, std::size_t length)>;

    // `first` (may be null) runs on the pushing thread before `stages` get the piece.
    explicit PartPipeline(std::vector<Stage> stages, std::size_t buffers = 8,
                          std::size_t bufferSize = 1 << 20, Stage first = nullptr);
    // Stops without handing on what is still queued.
    ~PartPipeline();
    PartPipeline(const PartPipeline&) = delete;
    PartPipeline& operator=(const PartPipeline&) = delete;

    // Queues a copy of the bytes; false once a stage has failed.
    bool push(const char* data, std::size_t length);
    // Reads bytes straight into the buffers: read(into, size) returns how many
    // it read (at most size), or 0 or less when no more come. Queues `length`
    // bytes, or fewer when read stops; false once a stage has failed.
    using Reader = std::function<std::ptrdiff_t(char* into, std::size_t size)>;
    bool pushFrom(std::size_t length, const Reader& read);
    // Hands on everything queued (the first stage is then done with it) and
    // waits until the first `stages` of the others are done with it too;
    // true when no stage has failed so far.
    bool flush(std::size_t stages);
    // Hands on everything queued and ends the threads; true when every stage succeeded.
    bool close();

    struct FreeBuffer {
        void operator()(char* buffer) const;
    };
    using Buffer = std::unique_ptr<char, FreeBuffer>;

  private:
    void run(std::size_t stage);
    bool submitCurrent();
    std::uint64_t oldestUnfinishedLocked(std::size_t stages) const;

    const Stage first_;
    std::vector<Stage> stages_;
    const std::size_t bufferSize_;
    std::vector<Buffer> buffers_;      // a ring: piece n is in buffers_[n % size]
    std::vector<std::size_t> lengths_; // bytes in each buffer
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t submitted_ = 0;         // pieces handed to the stages
    std::vector<std::uint64_t> finished_; // pieces each stage is done with
    std::size_t filled_ = 0;              // bytes in the piece being received
    bool closing_ = false;
    bool failed_ = false;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

} // namespace tavrin::service
