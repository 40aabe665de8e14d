#pragma once
// The local service's state: projects, videos, comments, upload sessions with
// their stored parts, access tokens and a change feed, kept in one SQLite
// database under the data folder; each open upload's bytes in one file under
// uploads/, each finished video under videos/.
//
// Durability: every change is committed before the call returns, and a part
// is recorded only after all its bytes are written (a part received again is
// forgotten before it is overwritten), so a process killed at any moment keeps
// every part and comment it has acknowledged, and never completes an upload
// with a part cut short. With syncToDisk this holds through a power loss too.
//
// Threads: every member may be called from any thread; calls are serialised
// on one connection, except the bytes of parts and the digest of an upload,
// which are written and read without holding the lock.

#include "common/Value.h"
#include "tools/tavrin-service/PartPipeline.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace tavrin::service {

// A refusal with the HTTP status and message the API answers with.
struct ServiceError : std::runtime_error {
    ServiceError(int status, const std::string& message, Value details = Value::object())
        : std::runtime_error(message), status(status), details(std::move(details)) {}
    int status;
    Value details; // extra members of the JSON error object
};

struct UploadSession {
    std::string id;
    std::string videoId;
    std::string projectId;
    std::int64_t fileSize = 0;
    std::int64_t totalChunks = 0;
    std::string state; // "open" or "complete"

    // The byte count chunk `index` must have.
    std::int64_t expectedPartSize(std::int64_t index) const;
};

class ServiceStore {
  public:
    // Bytes per chunk of the upload protocol; every part but the last has exactly this size.
    static constexpr std::int64_t chunkSize = 5'242'880;
    static constexpr const char* demoProjectId = "demo";

    // Opens (creating when missing) the database and folders under dataDir,
    // and on the first start the demo project with its video and comments.
    // Throws std::runtime_error when the folder or database cannot be used,
    // also while another store (in any process) has it open.
    // syncToDisk: flush parts, videos and the database to the disk before
    // acknowledging them, so they survive a power loss too (at the disk's
    // speed); without it everything acknowledged survives a killed process.
    explicit ServiceStore(std::filesystem::path dataDir, bool syncToDisk = false);
    ~ServiceStore();
    ServiceStore(const ServiceStore&) = delete;
    ServiceStore& operator=(const ServiceStore&) = delete;

    const std::filesystem::path& dataDir() const { return dataDir_; }

    // The access token: `fixed` when given (stored, replacing earlier ones),
    // otherwise the stored one, generated on the first start.
    std::string accessToken(const std::optional<std::string>& fixed);
    bool isValidToken(const std::string& token);
    // The secret that signs chunk URLs, generated once and kept.
    std::string signingKey();

    // Projects, videos and comments as the API's JSON objects; absent when unknown.
    std::optional<Value> project(const std::string& projectId);
    std::optional<Value> video(const std::string& videoId);
    Value videos(const std::string& projectId);
    Value comments(const std::string& projectId);
    // The project with its videos, comments and the change feed's cursor, read at once.
    std::optional<Value> workspace(const std::string& projectId);

    // Comments. `fields` holds the JSON members the client sent; throws
    // ServiceError (400 bad input, 404 unknown) otherwise.
    Value createComment(const std::string& projectId, const Value& fields);
    Value updateComment(const std::string& commentId, const Value& fields);
    void deleteComment(const std::string& commentId);

    // The change feed of a project: the changes after `since` (a cursor from
    // an earlier answer, 0 for all), waiting up to `wait` for the first one.
    // Returns {"cursor": N, "changes": [...]}; wakes early when stop() is called.
    Value changesSince(const std::string& projectId, std::int64_t since,
                       std::chrono::milliseconds wait);
    // Wakes every waiting change-feed reader; later waits return at once.
    void stop();

    // Uploads. Throw ServiceError with the status to answer.
    UploadSession initiateUpload(const std::string& projectId, const std::string& fileName,
                                 std::int64_t fileSize, std::int64_t totalChunks);
    UploadSession upload(const std::string& uploadId);

    // Receives one part's bytes into its place in the upload's file. A part
    // is recorded only once all its bytes are written; receiving a part again
    // forgets the earlier copy first, so a part is either whole or missing.
    // Parts that arrive in order are digested as they arrive.
    class PartWriter {
      public:
        ~PartWriter(); // without finish(): the part stays missing
        PartWriter(const PartWriter&) = delete;
        PartWriter& operator=(const PartWriter&) = delete;
        // False when the bytes cannot be written or exceed the part's size.
        bool write(const char* data, std::size_t length);
        // Reads the rest of the part straight into its buffers through `read`
        // (see PartPipeline::pushFrom); false when the bytes cannot be
        // written. When read stops early, finish() refuses the part.
        bool writeFrom(const PartPipeline::Reader& read);
        // Records the part; throws ServiceError 400 when its size is wrong.
        void finish();

      private:
        friend class ServiceStore;
        PartWriter(ServiceStore& store, UploadSession upload, std::int64_t index);
        struct State;
        static bool storeBytes(int fd, std::uint64_t at, const char* data, std::size_t length);
        std::unique_ptr<State> state_;
    };
    // Starts receiving part `index`; throws ServiceError 409 when the upload
    // is complete or the same part is being received already.
    std::unique_ptr<PartWriter> beginPart(const UploadSession& upload, std::int64_t index);

    // Checks that every part is there with its size, moves the file into
    // place, records its size and SHA-256 and marks the video ready. Returns
    // the video. Completing a completed upload again answers it unchanged.
    Value completeUpload(const std::string& uploadId, std::int64_t totalChunks);

  private:
    void migrate();
    void seedDemo();
    void recoverInterrupted();
    void recordChange(const std::string& projectId, const std::string& type, const std::string& id,
                      const Value& object);
    std::int64_t cursor();
    std::optional<Value> commentLocked(const std::string& commentId);
    std::optional<Value> videoLocked(const std::string& videoId);
    std::optional<UploadSession> uploadLocked(const std::string& uploadId);
    std::filesystem::path uploadDataPath(const std::string& uploadId) const;
    struct UploadRuntime;
    std::shared_ptr<UploadRuntime> runtimeLocked(const UploadSession& upload);
    void forgetIdleRuntimesLocked();
    std::filesystem::path videoPath(const std::string& videoId) const;

    std::filesystem::path dataDir_;
    sqlite3* db_ = nullptr;
    int lockFd_ = -1; // holds the data folder's lock
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
    bool syncToDisk_;
    std::set<std::string> assembling_; // uploads being completed
    std::map<std::string, std::shared_ptr<UploadRuntime>> runtimes_;
    std::uint64_t runtimeUses_ = 0; // orders runtimes by their last use
};

} // namespace tavrin::service
