#include "tools/tavrin-service/UploadDigest.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tavrin::service {

UploadDigest::UploadDigest(std::filesystem::path file, std::int64_t fileSize, std::int64_t partSize,
                           std::set<std::int64_t> stored)
    : file_(std::move(file)), fileSize_(fileSize), partSize_(partSize),
      fd_(::open(file_.c_str(), O_RDONLY | O_CLOEXEC)), sha_(EVP_MD_CTX_new()),
      stored_(std::move(stored)) {
    EVP_DigestInit_ex(sha_, EVP_sha256(), nullptr);
    thread_ = std::thread([this] { run(); });
    pthread_setname_np(thread_.native_handle(), "upload-digest"); // as top -H shows it
}

UploadDigest::~UploadDigest() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
    EVP_MD_CTX_free(sha_);
}

void UploadDigest::restart() {
    EVP_DigestInit_ex(sha_, EVP_sha256(), nullptr);
    digestedParts_ = 0;
}

void UploadDigest::partChanging(std::int64_t index) {
    std::lock_guard lock(mutex_);
    stored_.erase(index);
    // Only the part after the digested ones can be in progress; a digest of
    // it, or of anything after a part already digested, is dropped.
    if (index < digestedParts_)
        restart();
    if (index <
        digestedParts_ + static_cast<std::int64_t>(std::max<std::size_t>(pending_.size(), 1)))
        ++generation_;
}

UploadDigest::Continuation::Continuation(EVP_MD_CTX* sha, std::int64_t index,
                                         std::uint64_t generation)
    : sha_(sha), index_(index), generation_(generation) {
}

UploadDigest::Continuation::~Continuation() {
    EVP_MD_CTX_free(sha_);
}

void UploadDigest::Continuation::update(const char* data, std::size_t length) {
    if (waitingFor_ != nullptr)
        waitingFor_->resolve(*this);
    if (!dropped_)
        EVP_DigestUpdate(sha_, data, length);
}

void UploadDigest::resolve(Continuation& continuation) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return stopping_ || pending_.empty() || pending_.front().index >= continuation.index_;
    });
    continuation.waitingFor_ = nullptr;
    // Every part before is digested unless something changed on the way.
    if (!stopping_ && continuation.index_ == digestedParts_ &&
        continuation.generation_ == generation_) {
        continuation.sha_ = EVP_MD_CTX_new();
        if (continuation.sha_ != nullptr && EVP_MD_CTX_copy_ex(continuation.sha_, sha_) == 1)
            return;
    }
    continuation.dropped_ = true;
}

std::unique_ptr<UploadDigest::Continuation> UploadDigest::continueWith(std::int64_t index) {
    std::unique_lock lock(mutex_);
    // The part before may still be digesting its last bytes: this part
    // continues from its result.
    changed_.wait(lock, [&] { return pending_.size() < kMaxPending || stopping_; });
    if (stopping_)
        return nullptr;
    if (!pending_.empty() && pending_.front().index == digestedParts_ &&
        pending_.back().index + 1 == index &&
        static_cast<std::int64_t>(pending_.size()) == index - digestedParts_) {
        // Continues the pending parts once they are digested: taking each
        // of them moves the generation on by one.
        std::unique_ptr<Continuation> continuation(
            new Continuation(nullptr, index, generation_ + pending_.size()));
        continuation->waitingFor_ = this;
        return continuation;
    }
    changed_.wait(lock, [&] { return pending_.empty() || stopping_; });
    if (index != digestedParts_ || stopping_)
        return nullptr;
    EVP_MD_CTX* sha = EVP_MD_CTX_new();
    if (sha == nullptr || EVP_MD_CTX_copy_ex(sha, sha_) != 1) {
        EVP_MD_CTX_free(sha);
        return nullptr;
    }
    return std::unique_ptr<Continuation>(new Continuation(sha, index, generation_));
}

void UploadDigest::takeLocked(std::int64_t index, Continuation& digested) {
    // The generation changes whenever a part at or before the next one to
    // digest is received again, so an equal one means the continuation still
    // follows exactly the parts digested so far.
    if (digested.waitingFor_ != nullptr || digested.dropped_)
        return;
    if (digested.index_ == index && index == digestedParts_ &&
        digested.generation_ == generation_) {
        std::swap(sha_, digested.sha_);
        ++digestedParts_;
        ++generation_; // a read-back of this part in progress is now stale
    }
}

void UploadDigest::partStored(std::int64_t index, std::unique_ptr<Continuation> digested,
                              std::function<bool()> untilDigested) {
    {
        std::lock_guard lock(mutex_);
        if (digested && untilDigested && (pending_.empty() || pending_.back().index + 1 == index))
            pending_.push_back(Pending{index, std::move(digested), std::move(untilDigested)});
        else if (digested && !untilDigested)
            takeLocked(index, *digested);
        stored_.insert(index);
    }
    changed_.notify_all();
    // A continuation not taken (another is pending: only after parts were
    // received again out of order) is dropped, and the part read back. Its
    // bytes' source ends before it does.
    untilDigested = nullptr;
    digested.reset();
}

// Waits (unlocked) for the pending continuation to have all its bytes and
// takes it; false when there was none.
bool UploadDigest::takePending(std::unique_lock<std::mutex>& lock) {
    if (pending_.empty())
        return false;
    Pending& pending = pending_.front(); // only this thread removes it
    std::function<bool()> untilDigested = std::move(pending.untilDigested);
    lock.unlock();
    const bool digested = untilDigested();
    untilDigested = nullptr; // ends the part's pipeline
    lock.lock();
    if (digested)
        takeLocked(pending.index, *pending.digested);
    pending_.pop_front();
    changed_.notify_all();
    return true;
}

bool UploadDigest::idle() {
    std::lock_guard lock(mutex_);
    return pending_.empty() && stored_.count(digestedParts_) == 0;
}

bool UploadDigest::digestPart(EVP_MD_CTX* into, std::int64_t index) {
    // Most uploads are digested from the received bytes and never need it.
    std::vector<char>& buffer = buffer_;
    if (buffer.empty())
        buffer.resize(1 << 20);
    std::int64_t at = index * partSize_;
    const std::int64_t end = std::min(fileSize_, at + partSize_);
    while (at < end) {
        ssize_t n = ::pread(fd_, buffer.data(),
                            static_cast<std::size_t>(std::min<std::int64_t>(
                                static_cast<std::int64_t>(buffer.size()), end - at)),
                            static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        EVP_DigestUpdate(into, buffer.data(), static_cast<std::size_t>(n));
        at += n;
    }
    return true;
}

void UploadDigest::run() {
    EVP_MD_CTX* next = EVP_MD_CTX_new();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return stopping_ || !pending_.empty() || stored_.count(digestedParts_) != 0;
        });
        if (takePending(lock))
            continue;
        if (stopping_)
            break;
        const std::int64_t index = digestedParts_;
        const std::uint64_t generation = generation_;
        EVP_MD_CTX_copy_ex(next, sha_);
        lock.unlock();
        bool read = digestPart(next, index);
        lock.lock();
        if (!read)
            break; // finish() reads the file again and reports the failure
        if (generation == generation_ && digestedParts_ == index) {
            std::swap(sha_, next);
            ++digestedParts_;
        }
    }
    EVP_MD_CTX_free(next);
}

std::optional<std::string> UploadDigest::finish() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return std::nullopt;
    const std::int64_t parts = (fileSize_ + partSize_ - 1) / partSize_;
    for (std::int64_t i = digestedParts_; i < parts; ++i)
        if (!digestPart(sha_, i))
            return std::nullopt;
    digestedParts_ = parts;
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(sha_, raw, &length);
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[raw[i] >> 4];
        hex += digits[raw[i] & 15];
    }
    return hex;
}

} // namespace tavrin::service
