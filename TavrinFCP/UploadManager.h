#pragma once
// Sends one finished export file to the service in 5 MiB chunks.
//
// The service hands out a separate upload URL for each chunk, so an upload is
// a four-step conversation, strictly one request after another:
//   1. POST {apiURL}/api/videos/chunked-upload/initiate   -> "uploadId", "videoId"
//   2. POST {apiURL}/api/videos/chunked-upload/chunk-url  -> "url"   (per chunk)
//   3. PUT  <url> with the chunk's raw bytes                        (per chunk)
//   4. POST {apiURL}/api/videos/chunked-upload/complete
// Service requests carry "Authorization: Bearer <token>" and
// "Content-Type: application/json"; the chunk PUTs carry neither (a presigned
// URL's signature may not cover them), only "Content-Length".
//
// The service's answers decide by their bodies, whatever their status, but for
// the complete request, whose refusal means the video was not assembled. A
// chunk PUT's answer is not read: a refused chunk is followed by the next one,
// and the service names it missing when the upload is completed.
//
// Any failure gives an absent result (or, from upload(), one line saying why);
// nothing is logged, retried or resumed. A file that cannot be read is refused
// before the service is asked for anything.

#include "common/Result.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tavrin::container {

class UploadManager {
  public:
    // Bytes per chunk; every chunk but the last has exactly this size.
    static constexpr std::int64_t chunkSize = 5'242'880;

    struct Options {
        // Longest wait for a connection to be established.
        std::chrono::seconds connectTimeout{60};
        // A request fails once it has moved less than 1 byte per second, in
        // either direction, for this long (averaged over the last few seconds,
        // so a stalled request ends up to about 5 s after this). There is no
        // limit on a request's total duration: a chunk over a slow uplink is
        // not cut off while it makes progress.
        std::chrono::seconds idleTimeout{60};
        // Longest a service (JSON) request may take in all: a service that
        // answers a byte at a time is never idle. Chunk PUTs have no such limit.
        std::chrono::milliseconds requestTimeout{120'000};
        // When given and set to true (from any thread), an upload in progress
        // stops within about a second and fails with "cancelled"; later ones
        // fail before their first request.
        std::shared_ptr<const std::atomic<bool>> cancelled{};
    };

    // The API base URL this build was configured with (the TAVRIN_API_BASE_URL
    // CMake cache variable).
    static std::string defaultAPIURL();

    // apiURL: the service's base URL, scheme and host (and port), no trailing
    // slash; the endpoints' paths are appended to it.
    UploadManager();
    explicit UploadManager(std::string apiURL);
    UploadManager(std::string apiURL, Options options);

    const std::string& apiURL() const { return apiURL_; }

    // Uploads the regular file at `path` (never through a symbolic link) as a video named `name` +
    // ".mp4" into the project `projectId`, authenticated by the bearer `token`. Returns the
    // service's identifier of the new video once the complete request has been answered; absent on
    // any failure.
    //
    // Blocks for the whole upload: call it from a task on a TaskExecutor, never
    // on the main queue. Thread-safe: calls are independent of each other and
    // may run concurrently. Holds at most one chunk of the file in memory and
    // closes the file on every path.
    std::optional<std::string> uploadFile(const std::string& path, const std::string& name,
                                          const std::string& projectId,
                                          const std::string& token) const;
    // The same, with the reason of a failure: one line naming the step and the
    // cause (the file, the transport, or the service's answer).
    Result<std::string> upload(const std::string& path, const std::string& name,
                               const std::string& projectId, const std::string& token) const;

  private:
    std::string apiURL_;
    Options options_;
};

} // namespace tavrin::container
