#pragma once
// The SHA-256 of an upload's file, computed while the upload goes on: a part
// that arrives in order is digested from its bytes as they are received
// (continueWith); any other part is read back from the file, in order, by a
// thread of its own once it is whole there. Completing the upload has little
// or nothing left to digest.
//
// Threads: every member may be called from any thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace tavrin::service {

class UploadDigest {
  public:
    // `file` holds `fileSize` bytes in parts of `partSize`; `stored` are the
    // parts already whole in it.
    UploadDigest(std::filesystem::path file, std::int64_t fileSize, std::int64_t partSize,
                 std::set<std::int64_t> stored);
    ~UploadDigest(); // stops the thread
    UploadDigest(const UploadDigest&) = delete;
    UploadDigest& operator=(const UploadDigest&) = delete;

    // The digest of one part's bytes as they arrive, continuing the digest of
    // the parts before it.
    class Continuation {
      public:
        ~Continuation();
        Continuation(const Continuation&) = delete;
        Continuation& operator=(const Continuation&) = delete;
        void update(const char* data, std::size_t length);

      private:
        friend class UploadDigest;
        Continuation(EVP_MD_CTX* sha, std::int64_t index, std::uint64_t generation);
        EVP_MD_CTX* sha_;
        std::int64_t index_;
        std::uint64_t generation_;
        // Set while the parts before are still being digested: the first
        // update waits for them (on the digesting thread, not the receiving one).
        UploadDigest* waitingFor_ = nullptr;
        bool dropped_ = false; // something before changed: its bytes are read back instead
    };

    // A part is about to be written (again): it is not digested until it is stored.
    void partChanging(std::int64_t index);
    // Called after partChanging(index): a continuation when `index` is the
    // next part to digest, so its bytes can be digested as they are received;
    // null otherwise (the part is then read back once stored).
    std::unique_ptr<Continuation> continueWith(std::int64_t index);
    // A part is whole in the file; `digested` (from continueWith, fed with
    // exactly the part's bytes once `untilDigested` has returned true) is
    // taken when nothing before it changed since. `untilDigested` (null when
    // the continuation has all bytes already) is called on the digest's thread.
    void partStored(std::int64_t index, std::unique_ptr<Continuation> digested = nullptr,
                    std::function<bool()> untilDigested = nullptr);
    // Whether nothing is being digested or waits to be: dropping the digest
    // now loses no work in progress.
    bool idle();
    // Stops the thread and digests what it has not; every part must be stored.
    // Lower-case hex; absent when the file cannot be read.
    std::optional<std::string> finish();

  private:
    void run();
    bool digestPart(EVP_MD_CTX* into, std::int64_t index);
    void restart();
    void takeLocked(std::int64_t index, Continuation& digested);

    void resolve(Continuation& continuation);

    // Continuations still receiving their parts' bytes, of consecutive parts
    // from the next one to digest; at most kMaxPending, so memory stays bounded.
    static constexpr std::size_t kMaxPending = 2;
    struct Pending {
        std::int64_t index;
        std::unique_ptr<Continuation> digested;
        std::function<bool()> untilDigested; // destroyed before `digested`
    };
    bool takePending(std::unique_lock<std::mutex>& lock);

    const std::filesystem::path file_;
    const std::int64_t fileSize_;
    const std::int64_t partSize_;
    int fd_ = -1;
    std::vector<char> buffer_; // read-back parts; used by the thread, then by finish()
    std::mutex mutex_;
    std::condition_variable changed_;
    EVP_MD_CTX* sha_;
    std::int64_t digestedParts_ = 0; // parts [0, digestedParts_) are in sha_
    std::uint64_t generation_ = 0;   // changes when a part being digested changes
    std::set<std::int64_t> stored_;
    std::deque<Pending> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tavrin::service
