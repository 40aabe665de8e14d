#include "TavrinFCP/UploadManager.h"

#include "common/Errno.h"
#include "common/FileDescriptor.h"
#include "common/Log.h"
#include "common/Value.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#ifndef TAVRIN_API_BASE_URL
#define TAVRIN_API_BASE_URL "http://localhost:3000"
#endif

namespace tavrin::container {

namespace {

constexpr const char* kInitiatePath = "/api/videos/chunked-upload/initiate";
constexpr const char* kChunkURLPath = "/api/videos/chunked-upload/chunk-url";
constexpr const char* kCompletePath = "/api/videos/chunked-upload/complete";

// A service answer is a small JSON document; a larger one is not an answer of
// this service, and keeping it would let a server make us hold any amount.
constexpr std::size_t kMaxServiceBody = 1 << 20;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

// Whether `text` is an absolute URL with a scheme.
bool parsesAsURL(const std::string& text) {
    if (text.find('\0') != std::string::npos)
        return false;
    CURLU* url = curl_url();
    if (url == nullptr)
        return false;
    CURLUcode rc = curl_url_set(url, CURLUPART_URL, text.c_str(), 0);
    curl_url_cleanup(url);
    return rc == CURLUE_OK;
}

// A header value must not be able to end its line and start another.
bool isSafeHeaderValue(const std::string& value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::string jsonBody(const Value& object) {
    // A body that cannot be written is sent empty; the service then refuses it.
    return writeJSON(object).value_or(std::string());
}

// The parsed body when it is a JSON object.
std::optional<Dictionary> objectFrom(const std::string& body) {
    std::optional<Value> parsed = parseJSON(body);
    if (!parsed)
        return std::nullopt;
    return asDictionary(*parsed);
}

class HeaderList {
  public:
    HeaderList() = default;
    ~HeaderList() { curl_slist_free_all(list_); }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    bool append(const std::string& line) {
        curl_slist* grown = curl_slist_append(list_, line.c_str());
        if (grown == nullptr)
            return false;
        list_ = grown;
        return true;
    }
    curl_slist* get() const { return list_; }

  private:
    curl_slist* list_ = nullptr;
};

class OpenFile {
  public:
    // Opens only a regular file, reached without following a link at its last
    // component (a link named like an export could point anywhere), and never
    // waits on a FIFO.
    explicit OpenFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)) {
        if (!fd_.valid()) {
            failure_ = errno == ELOOP ? "it is a symbolic link" : errnoText(errno);
            return;
        }
        struct stat attributes {};
        if (::fstat(fd_.get(), &attributes) != 0 || !S_ISREG(attributes.st_mode)) {
            failure_ = "not a regular file";
            fd_.reset();
            return;
        }
        size_ = attributes.st_size;
    }
    bool isOpen() const { return fd_.valid(); }
    const std::string& failure() const { return failure_; }
    std::int64_t size() const { return size_; }

    // Reads the `length` bytes at `offset` into `buffer`: one seek, then reads
    // until the length is reached, the file ends or a read fails.
    // Returns the number of bytes read, or -1 on a read error (errno tells).
    std::int64_t readAt(std::int64_t offset, char* buffer, std::int64_t length) {
        (void)::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET);
        std::int64_t filled = 0;
        while (filled < length) {
            ssize_t n =
                ::read(fd_.get(), buffer + filled, static_cast<std::size_t>(length - filled));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (n == 0)
                break;
            filled += n;
        }
        return filled;
    }

  private:
    FileDescriptor fd_; // closed on every path; a failure to close changes nothing
    std::int64_t size_ = 0;
    std::string failure_;
};

struct ResponseBody {
    std::string text;
    bool tooLarge = false;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<ResponseBody*>(user);
    std::size_t length = size * count;
    if (body->text.size() + length > kMaxServiceBody) {
        body->tooLarge = true;
        return 0; // ends the transfer with a write error
    }
    body->text.append(data, length);
    return length;
}

// A chunk's answer is not read, but it is bounded like a service answer: a
// server that answers a PUT without end would otherwise keep the upload going
// for ever (it is never idle, and chunk PUTs have no total deadline).
struct DiscardedBody {
    std::size_t length = 0;
    bool tooLarge = false;
};

std::size_t discardBody(char*, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<DiscardedBody*>(user);
    std::size_t length = size * count;
    if (body->length + length > kMaxServiceBody) {
        body->tooLarge = true;
        return 0; // ends the transfer with a write error
    }
    body->length += length;
    return length;
}

struct ChunkSource {
    const char* data;
    std::size_t size;
    std::size_t sent = 0;
};

std::size_t supplyChunk(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* source = static_cast<ChunkSource*>(user);
    std::size_t length = std::min(size * count, source->size - source->sent);
    std::memcpy(buffer, source->data + source->sent, length);
    source->sent += length;
    return length;
}

// Lets curl send the chunk again from the start when a kept-alive connection
// turns out to be closed and it retries on a new one.
int rewindChunk(void* user, curl_off_t offset, int origin) {
    auto* source = static_cast<ChunkSource*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > source->size)
        return CURL_SEEKFUNC_FAIL;
    source->sent = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

// One easy handle for all the requests of an upload, so its connection cache
// keeps the connection to each host open between requests.
class Connection {
  public:
    explicit Connection(const UploadManager::Options& options)
        : handle_(curl_easy_init()), options_(options) {}
    ~Connection() {
        if (handle_ != nullptr)
            curl_easy_cleanup(handle_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool isValid() const { return handle_ != nullptr; }

    struct Reply {
        long status = 0;
        std::string body;
    };

    // A JSON POST to the service, within the total deadline. An error on a
    // transport error (no complete response), including a body over the size limit.
    Result<Reply> post(const std::string& url, const HeaderList& headers, const std::string& body) {
        prepare(url);
        // A service that answers a byte at a time is never idle: the small
        // JSON requests also get a deadline for the whole exchange.
        curl_easy_setopt(
            handle_, CURLOPT_TIMEOUT_MS,
            static_cast<long>(std::max<std::int64_t>(
                1, std::chrono::duration_cast<std::chrono::milliseconds>(options_.requestTimeout)
                       .count())));
        ResponseBody response;
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response);
        CURLcode rc = curl_easy_perform(handle_);
        if (rc != CURLE_OK)
            return Error{transportError(rc, response.tooLarge)};
        return Reply{responseStatus(), std::move(response.text)};
    }

    // Puts `size` bytes to `url` with no header but Content-Length (and Host).
    // Returns the response status; an error on a transport error.
    Result<long> put(const std::string& url, const char* data, std::size_t size) {
        prepare(url);
        HeaderList headers;
        // No Accept, and no Expect: 100-continue, which would hold every chunk
        // back for a round trip (or a second against servers that ignore it).
        if (!headers.append("Accept:") || !headers.append("Expect:"))
            return Error{"out of memory"};
        ChunkSource source{data, size};
        curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, supplyChunk);
        curl_easy_setopt(handle_, CURLOPT_READDATA, &source);
        curl_easy_setopt(handle_, CURLOPT_SEEKFUNCTION, rewindChunk);
        curl_easy_setopt(handle_, CURLOPT_SEEKDATA, &source);
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        DiscardedBody response;
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, discardBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response);
        CURLcode rc = curl_easy_perform(handle_);
        // The handle must not keep pointers into this frame.
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
        if (rc != CURLE_OK)
            return Error{transportError(rc, response.tooLarge)};
        return responseStatus();
    }

  private:
    void prepare(const std::string& url) {
        // Resetting options keeps the handle's open connections.
        curl_easy_reset(handle_);
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        errorText_[0] = '\0';
        curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorText_);
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT,
                         static_cast<long>(options_.connectTimeout.count()));
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(
            handle_, CURLOPT_LOW_SPEED_TIME,
            static_cast<long>(std::max<std::int64_t>(1, options_.idleTimeout.count())));
        curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
        if (options_.cancelled) {
            // curl asks at least once a second, also while the peer is silent.
            curl_easy_setopt(handle_, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(handle_, CURLOPT_XFERINFOFUNCTION, stopWhenCancelled);
            curl_easy_setopt(handle_, CURLOPT_XFERINFODATA, options_.cancelled.get());
        }
    }

    static int stopWhenCancelled(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
    }

    std::string transportError(CURLcode rc, bool tooLarge) const {
        if (tooLarge)
            return "the answer is larger than 1 MiB";
        if (rc == CURLE_ABORTED_BY_CALLBACK)
            return "cancelled";
        if (rc == CURLE_OPERATION_TIMEDOUT)
            return std::string(curl_easy_strerror(rc)) + " (" + errorText_ + ")";
        return errorText_[0] != '\0' ? std::string(errorText_) : curl_easy_strerror(rc);
    }

    long responseStatus() {
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

    CURL* handle_;
    UploadManager::Options options_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

// An answer for a message, on one line: its status and the start of its body.
std::string describe(const Connection::Reply& reply) {
    std::string text = "(HTTP " + std::to_string(reply.status) + ", \"";
    for (char c : reply.body.substr(0, 60))
        text.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
    text += reply.body.size() > 60 ? "...\")" : "\")";
    return text;
}

} // namespace

std::string UploadManager::defaultAPIURL() {
    return TAVRIN_API_BASE_URL;
}

UploadManager::UploadManager() : UploadManager(defaultAPIURL()) {
}

UploadManager::UploadManager(std::string apiURL) : UploadManager(std::move(apiURL), Options{}) {
}

UploadManager::UploadManager(std::string apiURL, Options options)
    : apiURL_(std::move(apiURL)), options_(options) {
}

std::optional<std::string> UploadManager::uploadFile(const std::string& path,
                                                     const std::string& name,
                                                     const std::string& projectId,
                                                     const std::string& token) const {
    Result<std::string> result = upload(path, name, projectId, token);
    if (!result)
        return std::nullopt;
    return result.value();
}

Result<std::string> UploadManager::upload(const std::string& path, const std::string& name,
                                          const std::string& projectId,
                                          const std::string& token) const {
    // The file is opened first: one that cannot be read must not leave an
    // initiated upload behind on the service.
    OpenFile file(path);
    // A path or URL may hold a line break; the reason stays one line.
    const std::string shownPath = oneLineText(path);
    if (!file.isOpen())
        return Error{"cannot read " + shownPath + ": " + file.failure()};
    const std::int64_t fileSize = file.size();
    const std::int64_t totalChunks = (fileSize + chunkSize - 1) / chunkSize;

    if (!isSafeHeaderValue(token))
        return Error{"the token contains a line break"};
    HeaderList serviceHeaders;
    if (!serviceHeaders.append("Authorization: Bearer " + token) ||
        !serviceHeaders.append("Content-Type: application/json") ||
        !serviceHeaders.append("Expect:"))
        return Error{"out of memory"};

    if (options_.cancelled && options_.cancelled->load())
        return Error{"cancelled"};
    initCurlOnce();
    Connection connection(options_);
    if (!connection.isValid())
        return Error{"cannot make an HTTP handle"};

    const std::string initiateURL = apiURL_ + kInitiatePath;
    if (!parsesAsURL(initiateURL))
        return Error{"the API base URL \"" + oneLineText(apiURL_) + "\" is not usable"};
    Value initiateBody = {{"fileName", name + ".mp4"},
                          {"fileSize", fileSize},
                          {"totalChunks", totalChunks},
                          {"projectId", projectId}};
    auto initiated = connection.post(initiateURL, serviceHeaders, jsonBody(initiateBody));
    if (!initiated)
        return Error{"initiate request failed: " + initiated.error().message};
    std::optional<Dictionary> upload = objectFrom(initiated.value().body);
    if (!upload)
        return Error{"initiate answer " + describe(initiated.value()) + " is not a JSON object"};
    std::optional<std::string> uploadId = stringFor(*upload, "uploadId");
    std::optional<std::string> videoId = stringFor(*upload, "videoId");
    if (!uploadId || !videoId)
        return Error{"initiate answer " + describe(initiated.value()) +
                     " lacks \"uploadId\" or \"videoId\""};

    const std::string chunkURLEndpoint = apiURL_ + kChunkURLPath;
    std::vector<char> chunk;
    std::string refusedChunk;
    for (std::int64_t chunkIndex = 0; chunkIndex < totalChunks; ++chunkIndex) {
        const std::string which =
            "chunk " + std::to_string(chunkIndex + 1) + " of " + std::to_string(totalChunks);
        const std::int64_t offset = chunkIndex * chunkSize;
        const std::int64_t expected = std::min(chunkSize, fileSize - offset);
        if (chunk.empty())
            chunk.resize(static_cast<std::size_t>(std::min(chunkSize, fileSize)));
        // Fewer bytes than the chunk's share of the announced size means the
        // file shrank: sending them would assemble a corrupt video.
        std::int64_t got = file.readAt(offset, chunk.data(), expected);
        if (got < 0)
            return Error{"cannot read " + shownPath + ": " + errnoText(errno)};
        if (got != expected)
            return Error{shownPath + " shrank during the upload"};

        if (!parsesAsURL(chunkURLEndpoint))
            return Error{"the API base URL \"" + oneLineText(apiURL_) + "\" is not usable"};
        Value chunkURLBody = {{"uploadId", *uploadId},
                              {"videoId", *videoId},
                              {"chunkIndex", chunkIndex},
                              {"totalChunks", totalChunks}};
        auto answered = connection.post(chunkURLEndpoint, serviceHeaders, jsonBody(chunkURLBody));
        if (!answered)
            return Error{"chunk-url request for " + which + " failed: " + answered.error().message};
        std::optional<Dictionary> target = objectFrom(answered.value().body);
        if (!target)
            return Error{"chunk-url answer " + describe(answered.value()) + " for " + which +
                         " is not a JSON object"};
        std::optional<std::string> url = stringFor(*target, "url");
        if (!url || !parsesAsURL(*url))
            return Error{"chunk-url answer for " + which + " has no usable \"url\""};

        // A chunk's answer is not read: the next chunk follows whatever its
        // status. The service finds a missing chunk when the upload is
        // completed; the first refusal is named if it then refuses.
        auto status = connection.put(*url, chunk.data(), static_cast<std::size_t>(expected));
        if (!status)
            return Error{"upload of " + which + " failed: " + status.error().message};
        if (!isSuccess(status.value()) && refusedChunk.empty())
            refusedChunk =
                which + " was answered with HTTP status " + std::to_string(status.value());
    }

    const std::string completeURL = apiURL_ + kCompletePath;
    if (!parsesAsURL(completeURL))
        return Error{"the API base URL \"" + oneLineText(apiURL_) + "\" is not usable"};
    Value completeBody = {
        {"uploadId", *uploadId}, {"videoId", *videoId}, {"totalChunks", totalChunks}};
    auto completed = connection.post(completeURL, serviceHeaders, jsonBody(completeBody));
    if (!completed)
        return Error{"complete request failed: " + completed.error().message};
    // Unlike a chunk's, a refusal here is the service saying the video was not
    // assembled (a chunk missing or of the wrong size): not a success, whatever
    // the body.
    if (!isSuccess(completed.value().status))
        return Error{"complete request was refused: " + describe(completed.value()) +
                     (refusedChunk.empty() ? "" : "; " + refusedChunk)};
    std::optional<Value> answer = parseJSON(completed.value().body);
    if (!answer || !(answer->is_object() || answer->is_array()))
        return Error{"complete answer " + describe(completed.value()) + " is not JSON"};
    return *videoId;
}

} // namespace tavrin::container
