#include "tools/tavrin-service/TavrinService.h"

#include "common/Log.h"
#include "common/Unicode.h"
#include "tools/tavrin-service/PageAssets.h"
#include "tools/tavrin-service/ReadAheadServer.h"

#include <glib.h>
#include <httplib.h>

#include <condition_variable>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tavrin::service {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

namespace {

constexpr const char* kJSON = "application/json";
constexpr std::size_t kMaxBody = ServiceStore::chunkSize + (1 << 20);
constexpr std::chrono::seconds kMaxFeedWait{30};
// The API's JSON bodies are small (a comment is at most 10,000 characters);
// parsing a body of megabytes would take many times its size in memory.
constexpr std::size_t kMaxJSONBody = 256 << 10;
constexpr const char* kTooLarge = "the body is too large (at most 256 KiB of JSON)";
// Connections served at once, each on a thread of its own (see ConnectionWorkers).
constexpr std::size_t kMaxWorkers = 128;
constexpr std::size_t kKeptWorkers = 8;
// Change-feed readers waiting at once; the rest of the workers stay free for other requests.
constexpr int kMaxFeedReaders = 32;
// Parts received at once: each holds a few MiB of buffers while it arrives.
constexpr std::ptrdiff_t kMaxPartsReceived = 16;
constexpr std::chrono::seconds kPartSlotWait{60};

// Runs each connection on a thread of its own, starting threads as needed up
// to kMaxWorkers. A connection holds its thread while it waits for its
// client (an idle keep-alive, a slow sender) or for the change feed, so a
// fixed handful of threads would let a few such clients stall every other
// request. Threads beyond kKeptWorkers end after a while without work.
class ConnectionWorkers : public httplib::TaskQueue {
  public:
    ~ConnectionWorkers() override { shutdown(); }

    void enqueue(std::function<void()> job) override {
        std::lock_guard lock(mutex_);
        reapLocked();
        jobs_.push_back(std::move(job));
        if (idle_ < jobs_.size() && threads_.size() < kMaxWorkers && !stopping_) {
            try {
                std::thread thread([this] { work(); });
                const std::thread::id id = thread.get_id();
                threads_.emplace(id, std::move(thread));
            } catch (const std::system_error&) {
                // No thread to be had (a process limit): the running ones take it in turn.
            }
        }
        wake_.notify_one();
    }

    // Runs the queued connections, then ends every thread.
    void shutdown() override {
        std::map<std::thread::id, std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            threads.swap(threads_);
            finished_.clear();
        }
        wake_.notify_all();
        for (auto& [id, thread] : threads)
            thread.join();
    }

  private:
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woken = wake_.wait_for(lock, std::chrono::seconds(10),
                                              [&] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) {
                if (stopping_ || (!woken && threads_.size() - finished_.size() > kKeptWorkers)) {
                    finished_.push_back(std::this_thread::get_id());
                    return;
                }
                continue;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
    }
    // Joins the threads that ended for want of work.
    void reapLocked() {
        for (const std::thread::id& id : finished_)
            if (auto it = threads_.find(id); it != threads_.end()) {
                it->second.join();
                threads_.erase(it);
            }
        finished_.clear();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::thread::id, std::thread> threads_;
    std::vector<std::thread::id> finished_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

void sendJSON(Response& response, const Value& body, int status = 200) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(writeJSON(body).value_or("null"), kJSON);
}

// The text with each malformed UTF-8 byte replaced by U+FFFD, so a message
// quoting a client's bytes (an id from the path) can still be sent as JSON.
std::string wellFormed(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint;
        const std::size_t length = decodeUTF8(text, i, codePoint);
        out += length == 0 ? std::string("\xEF\xBF\xBD") : text.substr(i, length);
        i += length == 0 ? 1 : length;
    }
    return out;
}

void sendError(Response& response, int status, const std::string& message,
               const Value& details = Value::object()) {
    Value body = details.is_object() ? details : Value::object();
    body["error"] = wellFormed(message);
    sendJSON(response, body, status);
}

// The path is decoded and may hold any byte: logLine keeps each entry one
// line, so a request cannot forge entries of its own.
void logFailure(const Request& request, const std::exception& error) {
    logLine("tavrin-service", "HTTP", LogLevel::Error,
            request.method + " " + request.path + " failed: " + error.what());
}

// Runs a handler, turning refusals and unexpected failures into JSON errors.
httplib::Server::Handler guarded(httplib::Server::Handler handler) {
    return [handler](const Request& request, Response& response) {
        try {
            handler(request, response);
        } catch (const ServiceError& error) {
            sendError(response, error.status, error.what(), error.details);
        } catch (const std::exception& error) {
            logFailure(request, error);
            sendError(response, 500, "internal error");
        }
    };
}

Value objectBody(const Request& request) {
    if (request.body.size() > kMaxJSONBody)
        throw ServiceError(413, kTooLarge);
    std::optional<Value> parsed = parseJSON(request.body, 64);
    if (!parsed || !parsed->is_object())
        throw ServiceError(400, "the body must be a JSON object");
    return *parsed;
}

std::string stringMember(const Value& body, const char* key) {
    std::optional<std::string> value = stringFor(body, key);
    if (!value)
        throw ServiceError(400, std::string("\"") + key + "\" must be a string");
    return *value;
}

std::int64_t integerMember(const Value& body, const char* key) {
    const Value* value = lookup(body, key);
    if (value == nullptr || !value->is_number_integer())
        throw ServiceError(400, std::string("\"") + key + "\" must be an integer");
    return value->get<std::int64_t>();
}

// A decimal integer as a whole query parameter; absent otherwise.
std::optional<std::int64_t> integerParam(const Request& request, const char* key) {
    if (!request.has_param(key))
        return std::nullopt;
    const std::string text = request.get_param_value(key);
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) != std::string::npos ||
        text == "-")
        return std::nullopt;
    return std::stoll(text);
}

// The host a loopback client names, in any case as host names are; anything
// else (a DNS name rebound to 127.0.0.1 by a web page) is refused, so pages
// elsewhere cannot reach the API.
bool isLoopbackHost(std::string hostHeader) {
    for (char& c : hostHeader)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
        const std::string host = name;
        if (hostHeader == host)
            return true;
        // The port, when given, is digits only: the header also becomes part
        // of the chunk URLs.
        if (hostHeader.size() > host.size() + 1 && hostHeader.compare(0, host.size(), host) == 0 &&
            hostHeader[host.size()] == ':' &&
            hostHeader.find_first_not_of("0123456789", host.size() + 1) == std::string::npos &&
            hostHeader.size() - host.size() - 1 <= 5)
            return true;
    }
    return false;
}

std::string htmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

TavrinService::TavrinService(Options options)
    : options_(std::move(options)), store_(options_.dataDir, options_.syncToDisk),
      signer_(store_.signingKey()), token_(store_.accessToken(options_.token)),
      partSlots_(kMaxPartsReceived), server_(std::make_unique<ReadAheadServer>()) {
    routes();
}

TavrinService::~TavrinService() = default;

bool TavrinService::bind() {
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host);
        return port_ > 0;
    }
    if (!server_->bind_to_port(options_.host, options_.port))
        return false;
    port_ = options_.port;
    return true;
}

void TavrinService::run() {
    server_->listen_after_bind();
}

void TavrinService::stop() {
    store_.stop(); // change-feed readers return, so the workers can finish
    server_->stop();
}

std::string TavrinService::url() const {
    return "http://" + options_.host + ":" + std::to_string(port_);
}

void TavrinService::routes() {
    httplib::Server& server = *server_;
    server.new_task_queue = [] { return new ConnectionWorkers(); };
    server.set_payload_max_length(kMaxBody);
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(100'000);
    server.set_read_timeout(std::chrono::seconds(60));
    server.set_write_timeout(std::chrono::seconds(60));
    if (options_.logRequests)
        server.set_logger([](const Request& request, const Response& response) {
            logLine("tavrin-service", "HTTP", LogLevel::Info,
                    request.method + " " + request.path + " " + std::to_string(response.status));
        });
    server.set_pre_routing_handler([](const Request& request, Response& response) {
        if (!isLoopbackHost(request.get_header_value("Host"))) {
            sendError(response, 403, "this service answers only requests to localhost");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Only chunk PUTs carry more than a small JSON body; any other large
        // body is refused before it is read into memory.
        const std::string length = request.get_header_value("Content-Length");
        if (request.method == "PUT" || length.empty() ||
            length.find_first_not_of("0123456789") != std::string::npos || // refused later
            (length.size() <= 9 && std::stoul(length) <= kMaxJSONBody))
            return httplib::Server::HandlerResponse::Unhandled;
        response.set_header("Connection", "close");
        sendError(response, 413, kTooLarge);
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const Request&, Response& response) {
        if (response.body.empty())
            sendError(response, response.status,
                      response.status == 404 ? "not found" : "the request was refused");
    });

    // Every /api request but the chunk PUT carries the bearer token.
    auto authorized = [this](const Request& request, Response& response) {
        const std::string header = request.get_header_value("Authorization");
        // The scheme's name is case-insensitive in HTTP ("bearer" is "Bearer").
        const std::string prefix = "bearer ";
        if (header.size() < prefix.size() ||
            g_ascii_strncasecmp(header.c_str(), prefix.c_str(), prefix.size()) != 0 ||
            !store_.isValidToken(header.substr(prefix.size()))) {
            response.set_header("WWW-Authenticate", "Bearer");
            sendError(response, 401,
                      header.empty() ? "missing bearer token" : "invalid bearer token");
            return false;
        }
        return true;
    };

    // The review workspace page and its files.
    server.Get(
        "/", [](const Request&, Response& response) { response.set_redirect("/fcp-panel/login"); });
    server.Get(
        "/fcp-panel/login", guarded([this](const Request& request, Response& response) {
            const PageAsset* page = findPageAsset("login.html");
            std::string html(page->data, page->size);
            std::string project = request.has_param("project") ? request.get_param_value("project")
                                                               : ServiceStore::demoProjectId;
            replaceAll(html, "{{TOKEN}}", htmlEscape(token_));
            replaceAll(html, "{{PROJECT}}", htmlEscape(project));
            response.set_header("Cache-Control", "no-store");
            response.set_header("Content-Security-Policy",
                                "default-src 'self'; connect-src 'self'; img-src 'self' data:");
            response.set_content(html, page->contentType);
        }));
    server.Get(R"(/fcp-panel/([a-z]+\.(css|js)))", [](const Request& request, Response& response) {
        const PageAsset* asset = findPageAsset(request.matches[1].str());
        if (asset == nullptr) {
            sendError(response, 404, "not found");
            return;
        }
        response.set_content(asset->data, asset->size, asset->contentType);
    });

    // The page's JSON API.
    server.Get(R"(/api/projects/([^/]+))",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   std::optional<Value> workspace = store_.workspace(request.matches[1].str());
                   if (!workspace)
                       throw ServiceError(404, "no project \"" + request.matches[1].str() + "\"");
                   sendJSON(response, *workspace);
               }));
    server.Get(R"(/api/projects/([^/]+)/videos)",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   if (!store_.project(request.matches[1].str()))
                       throw ServiceError(404, "no project \"" + request.matches[1].str() + "\"");
                   sendJSON(response, {{"videos", store_.videos(request.matches[1].str())}});
               }));
    server.Get(R"(/api/projects/([^/]+)/comments)",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   if (!store_.project(request.matches[1].str()))
                       throw ServiceError(404, "no project \"" + request.matches[1].str() + "\"");
                   sendJSON(response, {{"comments", store_.comments(request.matches[1].str())}});
               }));
    server.Post(R"(/api/projects/([^/]+)/comments)",
                guarded([this, authorized](const Request& request, Response& response) {
                    if (!authorized(request, response))
                        return;
                    sendJSON(response,
                             store_.createComment(request.matches[1].str(), objectBody(request)),
                             201);
                }));
    server.Patch(R"(/api/comments/([^/]+))",
                 guarded([this, authorized](const Request& request, Response& response) {
                     if (!authorized(request, response))
                         return;
                     sendJSON(response,
                              store_.updateComment(request.matches[1].str(), objectBody(request)));
                 }));
    server.Delete(R"(/api/comments/([^/]+))",
                  guarded([this, authorized](const Request& request, Response& response) {
                      if (!authorized(request, response))
                          return;
                      store_.deleteComment(request.matches[1].str());
                      sendJSON(response, {{"deleted", true}, {"id", request.matches[1].str()}});
                  }));
    // The change feed, a long poll: answers as soon as there is a change
    // after "since", or after "wait" seconds (at most 30) with none.
    server.Get(R"(/api/projects/([^/]+)/changes)",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   std::optional<std::int64_t> since = integerParam(request, "since");
                   std::optional<std::int64_t> wait = integerParam(request, "wait");
                   if (!since || *since < 0)
                       throw ServiceError(400, "\"since\" must be a cursor (an integer >= 0)");
                   auto waitFor = std::chrono::seconds(
                       std::clamp<std::int64_t>(wait.value_or(25), 0, kMaxFeedWait.count()));
                   // Each waiting reader holds a worker: beyond a few dozen
                   // the others are asked to come back rather than wait.
                   struct Reader {
                       std::atomic<int>& count;
                       ~Reader() { --count; }
                   } reader{feedReaders_};
                   if (++feedReaders_ > kMaxFeedReaders && waitFor.count() > 0) {
                       response.set_header("Retry-After", "2");
                       throw ServiceError(503, "too many change-feed readers are waiting; "
                                               "ask again shortly");
                   }
                   sendJSON(response,
                            store_.changesSince(request.matches[1].str(), *since, waitFor));
               }));

    // Videos.
    server.Get(R"(/api/videos/([^/]+))",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   std::optional<Value> video = store_.video(request.matches[1].str());
                   if (!video)
                       throw ServiceError(404, "no video \"" + request.matches[1].str() + "\"");
                   sendJSON(response, *video);
               }));
    server.Get(R"(/api/videos/([^/]+)/file)",
               guarded([this, authorized](const Request& request, Response& response) {
                   if (!authorized(request, response))
                       return;
                   const std::string id = request.matches[1].str();
                   std::optional<Value> video = store_.video(id);
                   fs::path path = store_.dataDir() / "videos" / (id + ".mp4");
                   std::error_code error;
                   auto size = fs::file_size(path, error);
                   if (!video || video->at("status") != "ready" || error)
                       throw ServiceError(404, "no ready video \"" + id + "\" with a file");
                   auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
                   response.set_content_provider(
                       size, "video/mp4",
                       [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                           // Small pieces: a client that does not read holds
                           // its worker, and the piece, until the write time-out.
                           std::vector<char> buffer(std::min<std::size_t>(length, 64 << 10));
                           file->seekg(static_cast<std::streamoff>(offset));
                           file->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                           if (file->gcount() <= 0)
                               return false;
                           return sink.write(buffer.data(),
                                             static_cast<std::size_t>(file->gcount()));
                       });
               }));

    // The chunked upload conversation.
    server.Post("/api/videos/chunked-upload/initiate",
                guarded([this, authorized](const Request& request, Response& response) {
                    if (!authorized(request, response))
                        return;
                    Value body = objectBody(request);
                    UploadSession upload = store_.initiateUpload(
                        stringMember(body, "projectId"), stringMember(body, "fileName"),
                        integerMember(body, "fileSize"), integerMember(body, "totalChunks"));
                    sendJSON(response, {{"uploadId", upload.id},
                                        {"videoId", upload.videoId},
                                        {"chunkSize", ServiceStore::chunkSize}});
                }));
    server.Post("/api/videos/chunked-upload/chunk-url",
                guarded([this, authorized](const Request& request, Response& response) {
                    if (!authorized(request, response))
                        return;
                    Value body = objectBody(request);
                    UploadSession upload = store_.upload(stringMember(body, "uploadId"));
                    if (upload.videoId != stringMember(body, "videoId"))
                        throw ServiceError(400, "\"videoId\" is not the upload's video");
                    const std::int64_t index = integerMember(body, "chunkIndex");
                    if (integerMember(body, "totalChunks") != upload.totalChunks)
                        throw ServiceError(400, "\"totalChunks\" must be " +
                                                    std::to_string(upload.totalChunks));
                    if (index < 0 || index >= upload.totalChunks)
                        throw ServiceError(400, "\"chunkIndex\" is out of range");
                    if (upload.state != "open")
                        throw ServiceError(409, "the upload is already complete");
                    // The URL is built on the host the client reached us by.
                    const std::int64_t expires = static_cast<std::int64_t>(std::time(nullptr)) +
                                                 options_.chunkURLLifetime.count();
                    const std::string url =
                        "http://" + request.get_header_value("Host") +
                        "/api/videos/chunked-upload/chunks/" + upload.id + "/" +
                        std::to_string(index) + "?expires=" + std::to_string(expires) +
                        "&signature=" + signer_.signature(upload.id, index, expires);
                    sendJSON(response, {{"url", url}, {"expires", expires}});
                }));
    server.Put(
        R"(/api/videos/chunked-upload/chunks/([A-Za-z0-9-]+)/([0-9]{1,9}))",
        [this](const Request& request, Response& response, const httplib::ContentReader& reader) {
            // The body is always read to its end, so a refused PUT leaves the
            // connection usable for the next request.
            bool drained = false;
            // Once the body is read straight from the connection (see below):
            // the bytes of it not read yet.
            std::int64_t bodyLeft = -1;
            auto readBody = [&bodyLeft](char* into, std::size_t size) -> std::ptrdiff_t {
                const ssize_t n = ReadAheadServer::readBody(
                    into, std::min(size, static_cast<std::size_t>(bodyLeft)));
                if (n > 0)
                    bodyLeft -= n;
                return n;
            };
            auto drain = [&] {
                if (bodyLeft >= 0) {
                    std::vector<char> scratch(64 * 1024);
                    while (bodyLeft > 0 && readBody(scratch.data(), scratch.size()) > 0) {
                    }
                } else if (!drained) {
                    reader([](const char*, std::size_t) { return true; });
                }
                drained = true;
            };
            try {
                const std::string uploadId = request.matches[1].str();
                const std::int64_t index = std::stoll(request.matches[2].str());
                std::optional<std::int64_t> expires = integerParam(request, "expires");
                const std::string signature =
                    request.has_param("signature") ? request.get_param_value("signature") : "";
                ChunkSigner::Check check =
                    expires ? signer_.check(uploadId, index, *expires, signature,
                                            static_cast<std::int64_t>(std::time(nullptr)))
                            : ChunkSigner::Check::badSignature;
                if (check == ChunkSigner::Check::badSignature)
                    throw ServiceError(403, "the chunk URL's signature is not valid");
                if (check == ChunkSigner::Check::expired)
                    throw ServiceError(403, "the chunk URL has expired");
                UploadSession upload = store_.upload(uploadId);
                if (upload.state != "open")
                    throw ServiceError(409, "the upload is already complete");
                if (index >= upload.totalChunks) // only a signed index gets here
                    throw ServiceError(400, "\"chunkIndex\" is out of range");
                const std::int64_t expected = upload.expectedPartSize(index);
                if (request.get_header_value("Content-Length") != std::to_string(expected))
                    throw ServiceError(400, "chunk " + std::to_string(index) + " must have " +
                                                std::to_string(expected) + " bytes");
                // The memory of parts arriving at once stays bounded however
                // many connections send them.
                if (!partSlots_.try_acquire_for(kPartSlotWait))
                    throw ServiceError(503, "too many parts are being received; send it again");
                struct Slot {
                    std::counting_semaphore<>& slots;
                    ~Slot() { slots.release(); }
                } slot{partSlots_};
                std::unique_ptr<ServiceStore::PartWriter> part = store_.beginPart(upload, index);
                bool written = true;
                bool complete = false;
                if (ReadAheadServer::readsBody(request)) {
                    // Straight from the connection into the part's buffers,
                    // without the HTTP library's copies.
                    bodyLeft = expected;
                    written = part->writeFrom(readBody);
                    complete = bodyLeft == 0;
                } else {
                    complete = reader([&](const char* data, std::size_t length) {
                        written = part->write(data, length);
                        return written;
                    });
                    drained = true;
                }
                if (!written)
                    throw std::runtime_error("cannot store chunk " + std::to_string(index));
                if (!complete)
                    throw ServiceError(400, "chunk " + std::to_string(index) + " must have " +
                                                std::to_string(expected) + " bytes");
                part->finish();
                sendJSON(response, {{"stored", true}, {"chunkIndex", index}, {"size", expected}});
            } catch (const ServiceError& error) {
                drain();
                sendError(response, error.status, error.what(), error.details);
            } catch (const std::exception& error) {
                drain();
                logFailure(request, error);
                sendError(response, 500, "internal error");
            }
        });
    server.Post("/api/videos/chunked-upload/complete",
                guarded([this, authorized](const Request& request, Response& response) {
                    if (!authorized(request, response))
                        return;
                    Value body = objectBody(request);
                    const std::string uploadId = stringMember(body, "uploadId");
                    UploadSession upload = store_.upload(uploadId);
                    if (upload.videoId != stringMember(body, "videoId"))
                        throw ServiceError(400, "\"videoId\" is not the upload's video");
                    sendJSON(response,
                             store_.completeUpload(uploadId, integerMember(body, "totalChunks")));
                }));
}

} // namespace tavrin::service
