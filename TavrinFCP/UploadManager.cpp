#include "TavrinFCP/UploadManager.h"

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
    explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() {
        if (fd_ >= 0)
            ::close(fd_); // a failure to close changes nothing for the upload
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    // Reads the `length` bytes at `offset` into `buffer`: one seek, then reads
    // until the length is reached, the file ends or a read fails.
    // Returns the number of bytes read, or -1 on a read error.
    std::int64_t readAt(std::int64_t offset, char* buffer, std::int64_t length) {
        (void)::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
        std::int64_t filled = 0;
        while (filled < length) {
            ssize_t n = ::read(fd_, buffer + filled, static_cast<std::size_t>(length - filled));
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
    int fd_;
};

struct ResponseBody {
    std::string text;
};

std::size_t collectBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<ResponseBody*>(user);
    std::size_t length = size * count;
    if (body->text.size() + length > kMaxServiceBody)
        return 0; // ends the transfer with a write error
    body->text.append(data, length);
    return length;
}

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
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

    // A JSON POST to the service. Absent on a transport error (no complete
    // response), including a body over the size limit.
    std::optional<Reply> post(const std::string& url, const HeaderList& headers,
                              const std::string& body) {
        prepare(url);
        ResponseBody response;
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &response);
        if (curl_easy_perform(handle_) != CURLE_OK)
            return std::nullopt;
        return Reply{responseStatus(), std::move(response.text)};
    }

    // Puts `size` bytes to `url` with no header but Content-Length (and Host).
    // Returns the response status; absent on a transport error.
    std::optional<long> put(const std::string& url, const char* data, std::size_t size) {
        prepare(url);
        HeaderList headers;
        // No Accept, and no Expect: 100-continue, which would hold every chunk
        // back for a round trip (or a second against servers that ignore it).
        if (!headers.append("Accept:") || !headers.append("Expect:"))
            return std::nullopt;
        ChunkSource source{data, size};
        curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, supplyChunk);
        curl_easy_setopt(handle_, CURLOPT_READDATA, &source);
        curl_easy_setopt(handle_, CURLOPT_SEEKFUNCTION, rewindChunk);
        curl_easy_setopt(handle_, CURLOPT_SEEKDATA, &source);
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, discardBody);
        CURLcode rc = curl_easy_perform(handle_);
        // The handle must not keep pointers into this frame.
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
        if (rc != CURLE_OK)
            return std::nullopt;
        return responseStatus();
    }

  private:
    void prepare(const std::string& url) {
        // Resetting options keeps the handle's open connections.
        curl_easy_reset(handle_);
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT,
                         static_cast<long>(options_.connectTimeout.count()));
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(
            handle_, CURLOPT_LOW_SPEED_TIME,
            static_cast<long>(std::max<std::int64_t>(1, options_.idleTimeout.count())));
        curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L);
    }

    long responseStatus() {
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

    CURL* handle_;
    UploadManager::Options options_;
};

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
    struct stat attributes {};
    // Only a regular file has a size that is its content; opening a FIFO
    // would block the upload for as long as nobody writes to it.
    if (::stat(path.c_str(), &attributes) != 0 || !S_ISREG(attributes.st_mode))
        return std::nullopt;
    const std::int64_t fileSize = attributes.st_size;
    const std::int64_t totalChunks = (fileSize + chunkSize - 1) / chunkSize;

    if (!isSafeHeaderValue(token))
        return std::nullopt;
    HeaderList serviceHeaders;
    if (!serviceHeaders.append("Authorization: Bearer " + token) ||
        !serviceHeaders.append("Content-Type: application/json") ||
        !serviceHeaders.append("Expect:"))
        return std::nullopt;

    initCurlOnce();
    Connection connection(options_);
    if (!connection.isValid())
        return std::nullopt;

    const std::string initiateURL = apiURL_ + kInitiatePath;
    if (!parsesAsURL(initiateURL))
        return std::nullopt;
    Value initiateBody = {{"fileName", name + ".mp4"},
                          {"fileSize", fileSize},
                          {"totalChunks", totalChunks},
                          {"projectId", projectId}};
    auto initiated = connection.post(initiateURL, serviceHeaders, jsonBody(initiateBody));
    if (!initiated)
        return std::nullopt;
    std::optional<Dictionary> upload = objectFrom(initiated->body);
    if (!upload)
        return std::nullopt;
    std::optional<std::string> uploadId = stringFor(*upload, "uploadId");
    std::optional<std::string> videoId = stringFor(*upload, "videoId");
    if (!uploadId || !videoId)
        return std::nullopt;

    OpenFile file(path);
    if (!file.isOpen())
        return std::nullopt;

    const std::string chunkURLEndpoint = apiURL_ + kChunkURLPath;
    std::vector<char> chunk;
    for (std::int64_t chunkIndex = 0; chunkIndex < totalChunks; ++chunkIndex) {
        const std::int64_t offset = chunkIndex * chunkSize;
        const std::int64_t expected = std::min(chunkSize, fileSize - offset);
        if (chunk.empty())
            chunk.resize(static_cast<std::size_t>(std::min(chunkSize, fileSize)));
        // Fewer bytes than the chunk's share of the announced size means the
        // file shrank: sending them would assemble a corrupt video.
        if (file.readAt(offset, chunk.data(), expected) != expected)
            return std::nullopt;

        if (!parsesAsURL(chunkURLEndpoint))
            return std::nullopt;
        Value chunkURLBody = {{"uploadId", *uploadId},
                              {"videoId", *videoId},
                              {"chunkIndex", chunkIndex},
                              {"totalChunks", totalChunks}};
        auto answered = connection.post(chunkURLEndpoint, serviceHeaders, jsonBody(chunkURLBody));
        if (!answered)
            return std::nullopt;
        std::optional<Dictionary> target = objectFrom(answered->body);
        if (!target)
            return std::nullopt;
        std::optional<std::string> url = stringFor(*target, "url");
        if (!url || !parsesAsURL(*url))
            return std::nullopt;

        // A refused chunk (an expired presigned URL answers 403) would leave a
        // hole in the assembled video.
        std::optional<long> status =
            connection.put(*url, chunk.data(), static_cast<std::size_t>(expected));
        if (!status || !isSuccess(*status))
            return std::nullopt;
    }

    const std::string completeURL = apiURL_ + kCompletePath;
    if (!parsesAsURL(completeURL))
        return std::nullopt;
    Value completeBody = {
        {"uploadId", *uploadId}, {"videoId", *videoId}, {"totalChunks", totalChunks}};
    auto completed = connection.post(completeURL, serviceHeaders, jsonBody(completeBody));
    if (!completed || !isSuccess(completed->status))
        return std::nullopt;
    std::optional<Value> answer = parseJSON(completed->body);
    if (!answer || !(answer->is_object() || answer->is_array()))
        return std::nullopt;
    return videoId;
}

} // namespace tavrin::container
