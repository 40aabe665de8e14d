#include "tools/tavrin-service/ServiceStore.h"

#include "tools/tavrin-service/PartPipeline.h"
#include "tools/tavrin-service/UploadDigest.h"

#include <glib.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace tavrin::service {

namespace fs = std::filesystem;

namespace {

// One prepared statement; columns and parameters are 1-based for bind, 0-based for columns.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, const std::string& text) {
        check(sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int i, std::int64_t number) {
        check(sqlite3_bind_int64(stmt_, i, number));
        return *this;
    }
    Statement& bind(int i, double number) {
        check(sqlite3_bind_double(stmt_, i, number));
        return *this;
    }
    Statement& bind(int i, const std::optional<double>& number) {
        return number ? bind(i, *number) : bindNull(i);
    }
    Statement& bindNull(int i) {
        check(sqlite3_bind_null(stmt_, i));
        return *this;
    }

    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db_));
    }
    void run() {
        while (step()) {
        }
    }

    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const {
        const auto* data = sqlite3_column_text(stmt_, column);
        return data == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(data),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }

  private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error != nullptr ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("SQLite: " + message);
    }
}

// Commits on commit(), rolls back when left otherwise (an exception).
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        exec(db_, "COMMIT");
        done_ = true;
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> buffer(bytes);
    std::size_t filled = 0;
    while (filled < bytes) {
        ssize_t n = getrandom(buffer.data() + filled, bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("no random bytes available");
        }
        filled += static_cast<std::size_t>(n);
    }
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : buffer) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string newId(const char* prefix) {
    return std::string(prefix) + randomHex(8);
}

std::string nowISO() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Flushes a file or folder to the disk; a failure means the data may be lost.
void syncPath(const fs::path& path, bool directory) {
    int fd = ::open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path.string() + " to flush it");
    int rc = ::fsync(fd);
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error("cannot flush " + path.string());
}

bool trySyncPath(const fs::path& path, bool directory) {
    try {
        syncPath(path, directory);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

const char* kCommentColumns =
    "id, project_id, video_id, timestamp, timestamp_end, user_name, content, resolved, "
    "created_at, updated_at";

Value commentFrom(const Statement& row) {
    return {{"id", row.text(0)},
            {"projectId", row.text(1)},
            {"videoId", row.isNull(2) ? Value(nullptr) : Value(row.text(2))},
            {"timestamp", row.real(3)},
            {"timestampEnd", row.isNull(4) ? Value(nullptr) : Value(row.real(4))},
            {"userName", row.text(5)},
            {"content", row.text(6)},
            {"resolved", row.integer(7) != 0},
            {"createdAt", row.text(8)},
            {"updatedAt", row.text(9)}};
}

const char* kVideoColumns = "id, project_id, name, status, size, sha256, created_at, updated_at";

Value videoFrom(const Statement& row) {
    return {{"id", row.text(0)},
            {"projectId", row.text(1)},
            {"name", row.text(2)},
            {"status", row.text(3)},
            {"size", row.isNull(4) ? Value(nullptr) : Value(row.integer(4))},
            {"sha256", row.isNull(5) ? Value(nullptr) : Value(row.text(5))},
            {"createdAt", row.text(6)},
            {"updatedAt", row.text(7)}};
}

// A time in seconds: a finite number, not negative.
std::optional<double> timeIn(const Value& fields, const char* key) {
    const Value* value = lookup(fields, key);
    if (value == nullptr)
        return std::nullopt;
    std::optional<double> seconds = asNumber(*value);
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
        throw ServiceError(400, std::string("\"") + key + "\" must be a number of seconds >= 0");
    return seconds;
}

std::optional<std::string> textIn(const Value& fields, const char* key, std::size_t limit) {
    const Value* value = lookup(fields, key);
    if (value == nullptr)
        return std::nullopt;
    if (!value->is_string())
        throw ServiceError(400, std::string("\"") + key + "\" must be a string");
    std::string text = value->get<std::string>();
    if (text.size() > limit)
        throw ServiceError(400, std::string("\"") + key + "\" is too long");
    return text;
}

constexpr std::size_t kMaxContent = 10'000;
constexpr std::size_t kMaxName = 200;

} // namespace

std::int64_t UploadSession::expectedPartSize(std::int64_t index) const {
    return std::min(ServiceStore::chunkSize, fileSize - index * ServiceStore::chunkSize);
}

ServiceStore::ServiceStore(fs::path dataDir, bool syncToDisk)
    : dataDir_(std::move(dataDir)), syncToDisk_(syncToDisk) {
    fs::create_directories(dataDir_ / "uploads");
    fs::create_directories(dataDir_ / "videos");
    // One service per folder: a second one's start would put back or remove
    // the files of uploads the first is completing or initiating.
    const fs::path lock = dataDir_ / "tavrin.lock";
    lockFd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0)
        throw std::runtime_error("cannot open " + lock.string());
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd_);
        throw std::runtime_error("another tavrin-service uses this data folder");
    }
    const fs::path database = dataDir_ / "tavrin.db";
    if (sqlite3_open_v2(database.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        ::close(lockFd_);
        throw std::runtime_error("cannot open " + database.string() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        // In WAL mode NORMAL loses nothing when the process is killed; FULL
        // also keeps the last commits through a power loss.
        exec(db_, syncToDisk_ ? "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                              : "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
        migrate();
        seedDemo();
        recoverInterrupted();
    } catch (...) {
        sqlite3_close(db_);
        ::close(lockFd_);
        throw;
    }
}

ServiceStore::~ServiceStore() {
    sqlite3_close(db_);
    ::close(lockFd_); // the folder is free again
}

void ServiceStore::migrate() {
    exec(db_, R"SQL(
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS tokens (token TEXT PRIMARY KEY, created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS projects (id TEXT PRIMARY KEY, name TEXT NOT NULL,
    created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS videos (id TEXT PRIMARY KEY,
    project_id TEXT NOT NULL REFERENCES projects(id), name TEXT NOT NULL,
    status TEXT NOT NULL, size INTEGER, sha256 TEXT, created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS comments (id TEXT PRIMARY KEY,
    project_id TEXT NOT NULL REFERENCES projects(id), video_id TEXT,
    timestamp REAL NOT NULL, timestamp_end REAL, user_name TEXT NOT NULL,
    content TEXT NOT NULL, resolved INTEGER NOT NULL DEFAULT 0,
    created_at TEXT NOT NULL, updated_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS uploads (id TEXT PRIMARY KEY,
    video_id TEXT NOT NULL REFERENCES videos(id), project_id TEXT NOT NULL,
    file_size INTEGER NOT NULL, total_chunks INTEGER NOT NULL, state TEXT NOT NULL,
    created_at TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS parts (upload_id TEXT NOT NULL REFERENCES uploads(id),
    chunk_index INTEGER NOT NULL, size INTEGER NOT NULL,
    PRIMARY KEY (upload_id, chunk_index));
CREATE TABLE IF NOT EXISTS changes (seq INTEGER PRIMARY KEY AUTOINCREMENT,
    project_id TEXT NOT NULL, type TEXT NOT NULL, entity_id TEXT NOT NULL,
    object TEXT NOT NULL, at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS changes_by_project ON changes(project_id, seq);
)SQL");
}

void ServiceStore::seedDemo() {
    std::lock_guard lock(mutex_);
    Statement existing(db_, "SELECT 1 FROM projects WHERE id = ?");
    if (existing.bind(1, std::string(demoProjectId)).step())
        return;
    Transaction transaction(db_);
    const std::string now = nowISO();
    Statement(db_, "INSERT INTO projects (id, name, created_at) VALUES (?, ?, ?)")
        .bind(1, std::string(demoProjectId))
        .bind(2, std::string("Demo project"))
        .bind(3, now)
        .run();
    // The demo video stands for one uploaded elsewhere; it is ready, with the
    // empty file its size and digest describe, so it reads back as any other.
    if (std::FILE* file = std::fopen(videoPath("demo-video").c_str(), "wb"))
        std::fclose(file);
    else
        throw std::runtime_error("cannot create " + videoPath("demo-video").string());
    Statement(db_, "INSERT INTO videos (id, project_id, name, status, size, sha256, created_at, "
                   "updated_at) VALUES ('demo-video', ?, 'Demo cut.mp4', 'ready', 0, "
                   "'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855', ?, ?)")
        .bind(1, std::string(demoProjectId))
        .bind(2, now)
        .bind(3, now)
        .run();
    struct Seed {
        const char* id;
        double at;
        std::optional<double> end;
        const char* author;
        const char* text;
        bool resolved;
    };
    const Seed seeds[] = {
        {"demo-c1", 2.0, std::nullopt, "Alex", "Open on the wide shot, not the close-up.", false},
        {"demo-c2", 5.5, 8.0, "Zoë", "Musique trop forte ici — baisser de 3 dB ✂️", false},
        {"demo-c3", 12.0, std::nullopt, "Sam", "Colour matches now, thanks.", true},
    };
    for (const Seed& seed : seeds)
        Statement(db_, "INSERT INTO comments (id, project_id, video_id, timestamp, timestamp_end, "
                       "user_name, content, resolved, created_at, updated_at) "
                       "VALUES (?, ?, 'demo-video', ?, ?, ?, ?, ?, ?, ?)")
            .bind(1, std::string(seed.id))
            .bind(2, std::string(demoProjectId))
            .bind(3, seed.at)
            .bind(4, seed.end)
            .bind(5, std::string(seed.author))
            .bind(6, std::string(seed.text))
            .bind(7, std::int64_t{seed.resolved ? 1 : 0})
            .bind(8, now)
            .bind(9, now)
            .run();
    transaction.commit();
}

void ServiceStore::recoverInterrupted() {
    std::lock_guard lock(mutex_);
    // A kill between moving a video into place and recording it ready leaves
    // the file moved: it goes back, and completing again finishes the upload.
    Statement open(db_, "SELECT id, video_id FROM uploads WHERE state = 'open'");
    std::set<fs::path> kept;
    while (open.step()) {
        std::error_code ignored;
        if (!fs::exists(uploadDataPath(open.text(0)), ignored) &&
            fs::exists(videoPath(open.text(1)), ignored))
            fs::rename(videoPath(open.text(1)), uploadDataPath(open.text(0)), ignored);
        kept.insert(uploadDataPath(open.text(0)));
    }
    // A kill while an upload was being initiated leaves its file without the
    // upload: nothing can reach it any more.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dataDir_ / "uploads", error))
        if (entry.path().extension() == ".data" && kept.count(entry.path()) == 0)
            fs::remove(entry.path(), error);
}

std::string ServiceStore::accessToken(const std::optional<std::string>& fixed) {
    std::lock_guard lock(mutex_);
    if (fixed) {
        Transaction transaction(db_);
        exec(db_, "DELETE FROM tokens");
        Statement(db_, "INSERT INTO tokens (token, created_at) VALUES (?, ?)")
            .bind(1, *fixed)
            .bind(2, nowISO())
            .run();
        transaction.commit();
        return *fixed;
    }
    Statement stored(db_, "SELECT token FROM tokens ORDER BY created_at LIMIT 1");
    if (stored.step())
        return stored.text(0);
    std::string token = randomHex(16);
    Statement(db_, "INSERT INTO tokens (token, created_at) VALUES (?, ?)")
        .bind(1, token)
        .bind(2, nowISO())
        .run();
    return token;
}

bool ServiceStore::isValidToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    return Statement(db_, "SELECT 1 FROM tokens WHERE token = ?").bind(1, token).step();
}

std::string ServiceStore::signingKey() {
    std::lock_guard lock(mutex_);
    Statement stored(db_, "SELECT value FROM settings WHERE key = 'signing_key'");
    if (stored.step())
        return stored.text(0);
    std::string key = randomHex(32);
    Statement(db_, "INSERT INTO settings (key, value) VALUES ('signing_key', ?)")
        .bind(1, key)
        .run();
    return key;
}

std::optional<Value> ServiceStore::project(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT id, name, created_at FROM projects WHERE id = ?");
    if (!row.bind(1, projectId).step())
        return std::nullopt;
    return Value{{"id", row.text(0)}, {"name", row.text(1)}, {"createdAt", row.text(2)}};
}

std::optional<Value> ServiceStore::videoLocked(const std::string& videoId) {
    Statement row(db_,
                  (std::string("SELECT ") + kVideoColumns + " FROM videos WHERE id = ?").c_str());
    if (!row.bind(1, videoId).step())
        return std::nullopt;
    return videoFrom(row);
}

std::optional<Value> ServiceStore::video(const std::string& videoId) {
    std::lock_guard lock(mutex_);
    return videoLocked(videoId);
}

Value ServiceStore::videos(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    Value list = Value::array();
    Statement rows(db_, (std::string("SELECT ") + kVideoColumns +
                         " FROM videos WHERE project_id = ? ORDER BY created_at, rowid")
                            .c_str());
    rows.bind(1, projectId);
    while (rows.step())
        list.push_back(videoFrom(rows));
    return list;
}

Value ServiceStore::comments(const std::string& projectId) {
    std::lock_guard lock(mutex_);
    Value list = Value::array();
    Statement rows(db_, (std::string("SELECT ") + kCommentColumns +
                         " FROM comments WHERE project_id = ? ORDER BY timestamp, rowid")
                            .c_str());
    rows.bind(1, projectId);
    while (rows.step())
        list.push_back(commentFrom(rows));
    return list;
}

std::optional<Value> ServiceStore::workspace(const std::string& projectId) {
    std::optional<Value> found = project(projectId);
    if (!found)
        return std::nullopt;
    // The cursor is read first: a change made between the reads is then sent
    // again by the feed, never missed.
    std::int64_t at;
    {
        std::lock_guard lock(mutex_);
        at = cursor();
    }
    return Value{{"project", *found},
                 {"videos", videos(projectId)},
                 {"comments", comments(projectId)},
                 {"cursor", at}};
}

std::optional<Value> ServiceStore::commentLocked(const std::string& commentId) {
    Statement row(
        db_, (std::string("SELECT ") + kCommentColumns + " FROM comments WHERE id = ?").c_str());
    if (!row.bind(1, commentId).step())
        return std::nullopt;
    return commentFrom(row);
}

Value ServiceStore::createComment(const std::string& projectId, const Value& fields) {
    if (!fields.is_object())
        throw ServiceError(400, "the body must be a JSON object");
    std::optional<double> at = timeIn(fields, "timestamp");
    if (!at)
        throw ServiceError(400, "\"timestamp\" is required");
    std::optional<double> end;
    if (const Value* v = lookup(fields, "timestampEnd"); v != nullptr && !v->is_null())
        end = timeIn(fields, "timestampEnd");
    if (end && *end < *at)
        throw ServiceError(400, "\"timestampEnd\" must not be before \"timestamp\"");
    std::optional<std::string> content = textIn(fields, "content", kMaxContent);
    if (!content || content->empty())
        throw ServiceError(400, "\"content\" must be a non-empty string");
    std::string author = textIn(fields, "userName", kMaxName).value_or("");
    if (author.empty())
        author = "Reviewer";
    std::optional<std::string> videoId = textIn(fields, "videoId", kMaxName);

    std::lock_guard lock(mutex_);
    if (!Statement(db_, "SELECT 1 FROM projects WHERE id = ?").bind(1, projectId).step())
        throw ServiceError(404, "no project \"" + projectId + "\"");
    Transaction transaction(db_);
    const std::string id = newId("c-");
    const std::string now = nowISO();
    Statement insert(db_, "INSERT INTO comments (id, project_id, video_id, timestamp, "
                          "timestamp_end, user_name, content, resolved, created_at, updated_at) "
                          "VALUES (?, ?, ?, ?, ?, ?, ?, 0, ?, ?)");
    insert.bind(1, id).bind(2, projectId);
    if (videoId)
        insert.bind(3, *videoId);
    else
        insert.bindNull(3);
    insert.bind(4, *at).bind(5, end).bind(6, author).bind(7, *content).bind(8, now).bind(9, now);
    insert.run();
    Value comment = *commentLocked(id);
    recordChange(projectId, "comment.created", id, comment);
    transaction.commit();
    changed_.notify_all();
    return comment;
}

Value ServiceStore::updateComment(const std::string& commentId, const Value& fields) {
    if (!fields.is_object())
        throw ServiceError(400, "the body must be a JSON object");
    std::lock_guard lock(mutex_);
    std::optional<Value> current = commentLocked(commentId);
    if (!current)
        throw ServiceError(404, "no comment \"" + commentId + "\"");
    double at = timeIn(fields, "timestamp").value_or(current->at("timestamp").get<double>());
    std::optional<double> end;
    if (const Value* v = lookup(fields, "timestampEnd"); v != nullptr)
        end = v->is_null() ? std::nullopt : timeIn(fields, "timestampEnd");
    else if (!current->at("timestampEnd").is_null())
        end = current->at("timestampEnd").get<double>();
    if (end && *end < at)
        throw ServiceError(400, "\"timestampEnd\" must not be before \"timestamp\"");
    std::string content =
        textIn(fields, "content", kMaxContent).value_or(current->at("content").get<std::string>());
    if (content.empty())
        throw ServiceError(400, "\"content\" must be a non-empty string");
    bool resolved = current->at("resolved").get<bool>();
    if (const Value* v = lookup(fields, "resolved"); v != nullptr) {
        if (!v->is_boolean())
            throw ServiceError(400, "\"resolved\" must be true or false");
        resolved = v->get<bool>();
    }
    Transaction transaction(db_);
    Statement(db_, "UPDATE comments SET timestamp = ?, timestamp_end = ?, content = ?, "
                   "resolved = ?, updated_at = ? WHERE id = ?")
        .bind(1, at)
        .bind(2, end)
        .bind(3, content)
        .bind(4, std::int64_t{resolved ? 1 : 0})
        .bind(5, nowISO())
        .bind(6, commentId)
        .run();
    Value comment = *commentLocked(commentId);
    recordChange(comment.at("projectId").get<std::string>(), "comment.updated", commentId, comment);
    transaction.commit();
    changed_.notify_all();
    return comment;
}

void ServiceStore::deleteComment(const std::string& commentId) {
    std::lock_guard lock(mutex_);
    std::optional<Value> current = commentLocked(commentId);
    if (!current)
        throw ServiceError(404, "no comment \"" + commentId + "\"");
    Transaction transaction(db_);
    Statement(db_, "DELETE FROM comments WHERE id = ?").bind(1, commentId).run();
    recordChange(current->at("projectId").get<std::string>(), "comment.deleted", commentId,
                 Value{{"id", commentId}});
    transaction.commit();
    changed_.notify_all();
}

void ServiceStore::recordChange(const std::string& projectId, const std::string& type,
                                const std::string& id, const Value& object) {
    Statement(db_, "INSERT INTO changes (project_id, type, entity_id, object, at) "
                   "VALUES (?, ?, ?, ?, ?)")
        .bind(1, projectId)
        .bind(2, type)
        .bind(3, id)
        .bind(4, writeJSON(object).value_or("null"))
        .bind(5, nowISO())
        .run();
}

std::int64_t ServiceStore::cursor() {
    Statement last(db_, "SELECT COALESCE(MAX(seq), 0) FROM changes");
    last.step();
    return last.integer(0);
}

Value ServiceStore::changesSince(const std::string& projectId, std::int64_t since,
                                 std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!Statement(db_, "SELECT 1 FROM projects WHERE id = ?").bind(1, projectId).step())
        throw ServiceError(404, "no project \"" + projectId + "\"");
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        Value changes = Value::array();
        Statement rows(db_, "SELECT seq, type, entity_id, object FROM changes "
                            "WHERE project_id = ? AND seq > ? ORDER BY seq LIMIT 500");
        rows.bind(1, projectId).bind(2, since);
        std::int64_t last = since;
        while (rows.step()) {
            last = rows.integer(0);
            changes.push_back({{"seq", last},
                               {"type", rows.text(1)},
                               {"id", rows.text(2)},
                               {"object", parseJSON(rows.text(3)).value_or(nullptr)}});
        }
        // With nothing new the cursor moves on to the newest change of any
        // project, so the next call does not look at those again.
        if (!changes.empty())
            return {{"cursor", last}, {"changes", changes}};
        if (stopped_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return {{"cursor", std::max(since, cursor())}, {"changes", changes}};
    }
}

void ServiceStore::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

fs::path ServiceStore::uploadDataPath(const std::string& uploadId) const {
    return dataDir_ / "uploads" / (uploadId + ".data");
}

fs::path ServiceStore::videoPath(const std::string& videoId) const {
    return dataDir_ / "videos" / (videoId + ".mp4");
}

// What the service knows of an open upload between requests: the parts being
// received, and the digest of its file so far. Lost with the process; it is
// made again from the recorded parts.
struct ServiceStore::UploadRuntime {
    std::set<std::int64_t> receiving;
    std::unique_ptr<UploadDigest> digest;
    std::uint64_t lastUse = 0;
};

namespace {

// Idle runtimes kept for uploads that may go on; the others are forgotten.
constexpr std::size_t kIdleRuntimesKept = 4;

} // namespace

std::shared_ptr<ServiceStore::UploadRuntime>
ServiceStore::runtimeLocked(const UploadSession& upload) {
    auto& runtime = runtimes_[upload.id];
    if (!runtime) {
        std::set<std::int64_t> stored;
        Statement rows(db_, "SELECT chunk_index FROM parts WHERE upload_id = ?");
        rows.bind(1, upload.id);
        while (rows.step())
            stored.insert(rows.integer(0));
        runtime = std::make_shared<UploadRuntime>();
        runtime->digest = std::make_unique<UploadDigest>(uploadDataPath(upload.id), upload.fileSize,
                                                         chunkSize, stored);
    }
    runtime->lastUse = ++runtimeUses_;
    std::shared_ptr<UploadRuntime> used = runtime; // not idle while held here
    forgetIdleRuntimesLocked();
    return used;
}

// An upload its client left unfinished would keep a digest thread, an open
// file and a buffer for as long as the service runs. Beyond the few most
// recently used, idle runtimes (nobody holds them, no part is being received,
// nothing is left to digest) are dropped; one is made again from the recorded
// parts if its upload goes on.
void ServiceStore::forgetIdleRuntimesLocked() {
    std::vector<decltype(runtimes_)::iterator> idle;
    for (auto it = runtimes_.begin(); it != runtimes_.end(); ++it)
        if (it->second.use_count() == 1 && it->second->receiving.empty() &&
            it->second->digest->idle())
            idle.push_back(it);
    if (idle.size() <= kIdleRuntimesKept)
        return;
    std::sort(idle.begin(), idle.end(),
              [](const auto& a, const auto& b) { return a->second->lastUse < b->second->lastUse; });
    for (std::size_t i = 0; i + kIdleRuntimesKept < idle.size(); ++i)
        runtimes_.erase(idle[i]);
}

UploadSession ServiceStore::initiateUpload(const std::string& projectId,
                                           const std::string& fileName, std::int64_t fileSize,
                                           std::int64_t totalChunks) {
    // Up to 1 TiB; larger sizes are refused before any arithmetic can overflow.
    if (fileSize < 0 || fileSize > (std::int64_t{1} << 40))
        throw ServiceError(400, "\"fileSize\" must be between 0 and 1 TiB");
    const std::int64_t expectedChunks = (fileSize + chunkSize - 1) / chunkSize;
    if (totalChunks != expectedChunks)
        throw ServiceError(400, "\"totalChunks\" must be " + std::to_string(expectedChunks) +
                                    " for " + std::to_string(fileSize) + " bytes in chunks of " +
                                    std::to_string(chunkSize));
    if (fileName.empty() || fileName.size() > kMaxName)
        throw ServiceError(400, "\"fileName\" must be a non-empty string of at most " +
                                    std::to_string(kMaxName) + " bytes");
    // The upload's file is made at its full size without taking the space
    // yet; an upload larger than the free space would end by filling the disk.
    std::error_code spaceError;
    const fs::space_info space = fs::space(dataDir_, spaceError);
    if (!spaceError && static_cast<std::uintmax_t>(fileSize) > space.available)
        throw ServiceError(413, "the file (" + std::to_string(fileSize) +
                                    " bytes) is larger than the free space (" +
                                    std::to_string(space.available) + " bytes)");

    std::lock_guard lock(mutex_);
    if (!Statement(db_, "SELECT 1 FROM projects WHERE id = ?").bind(1, projectId).step())
        throw ServiceError(404, "no project \"" + projectId + "\"");
    UploadSession session{newId("u-"), newId("v-"), projectId, fileSize, totalChunks, "open"};
    // The parts are written into one file of the final size, each at its place.
    {
        int fd = ::open(uploadDataPath(session.id).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        bool sized = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(fileSize)) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!sized)
            throw std::runtime_error("cannot create " + uploadDataPath(session.id).string());
    }
    try {
        Transaction transaction(db_);
        const std::string now = nowISO();
        Statement(db_, "INSERT INTO videos (id, project_id, name, status, created_at, updated_at) "
                       "VALUES (?, ?, ?, 'uploading', ?, ?)")
            .bind(1, session.videoId)
            .bind(2, projectId)
            .bind(3, fileName)
            .bind(4, now)
            .bind(5, now)
            .run();
        Statement(db_,
                  "INSERT INTO uploads (id, video_id, project_id, file_size, total_chunks, state, "
                  "created_at) VALUES (?, ?, ?, ?, ?, 'open', ?)")
            .bind(1, session.id)
            .bind(2, session.videoId)
            .bind(3, projectId)
            .bind(4, fileSize)
            .bind(5, totalChunks)
            .bind(6, now)
            .run();
        recordChange(projectId, "video.created", session.videoId, *videoLocked(session.videoId));
        transaction.commit();
    } catch (...) {
        std::error_code ignored;
        fs::remove(uploadDataPath(session.id), ignored);
        throw;
    }
    changed_.notify_all();
    return session;
}

std::optional<UploadSession> ServiceStore::uploadLocked(const std::string& uploadId) {
    Statement row(db_, "SELECT id, video_id, project_id, file_size, total_chunks, state "
                       "FROM uploads WHERE id = ?");
    if (!row.bind(1, uploadId).step())
        return std::nullopt;
    return UploadSession{row.text(0),    row.text(1),    row.text(2),
                         row.integer(3), row.integer(4), row.text(5)};
}

UploadSession ServiceStore::upload(const std::string& uploadId) {
    std::lock_guard lock(mutex_);
    std::optional<UploadSession> found = uploadLocked(uploadId);
    if (!found)
        throw ServiceError(404, "no upload \"" + uploadId + "\"");
    return *found;
}

namespace {

// Pieces of a part, each stored by the receiving thread once it is whole and
// then digested on a thread of its own.
constexpr std::size_t kPiece = 1 << 20;

} // namespace

struct ServiceStore::PartWriter::State {
    ServiceStore* store;
    UploadSession upload;
    std::int64_t index;
    std::int64_t expected;
    std::int64_t received = 0;
    int fd = -1;                                        // the upload's file, for writing
    std::unique_ptr<UploadDigest::Continuation> digest; // when the part arrives in order
    std::unique_ptr<PartPipeline> pipeline; // stores, and digests on a thread of its own
    std::shared_ptr<UploadRuntime> runtime;
};

std::unique_ptr<ServiceStore::PartWriter> ServiceStore::beginPart(const UploadSession& upload,
                                                                  std::int64_t index) {
    return std::unique_ptr<PartWriter>(new PartWriter(*this, upload, index));
}

ServiceStore::PartWriter::PartWriter(ServiceStore& store, UploadSession upload, std::int64_t index)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.store = &store;
    s.index = index;
    s.expected = upload.expectedPartSize(index);
    s.upload = std::move(upload);
    const fs::path data = store.uploadDataPath(s.upload.id);
    s.fd = ::open(data.c_str(), O_WRONLY | O_CLOEXEC);
    if (s.fd < 0) {
        // The upload may have been completed (its file moved into place)
        // since the caller looked it up.
        std::lock_guard lock(store.mutex_);
        std::optional<UploadSession> current = store.uploadLocked(s.upload.id);
        if (!current || current->state != "open" || store.assembling_.count(s.upload.id) != 0)
            throw ServiceError(409, "the upload is already complete");
        throw std::runtime_error("cannot open the data of upload " + s.upload.id);
    }
    bool receiving = false;
    try {
        {
            std::lock_guard lock(store.mutex_);
            std::optional<UploadSession> current = store.uploadLocked(s.upload.id);
            if (!current || current->state != "open" || store.assembling_.count(s.upload.id) != 0)
                throw ServiceError(409, "the upload is already complete");
            s.runtime = store.runtimeLocked(s.upload);
            if (!s.runtime->receiving.insert(index).second)
                throw ServiceError(409, "chunk " + std::to_string(index) + " is being received");
            receiving = true;
            // From here until finish() the part counts as missing.
            Statement(store.db_, "DELETE FROM parts WHERE upload_id = ? AND chunk_index = ?")
                .bind(1, s.upload.id)
                .bind(2, index)
                .run();
            s.runtime->digest->partChanging(index);
        }
        // May wait for the digest of the part before (outside the store's lock).
        s.digest = s.runtime->digest->continueWith(index);
        // Stored by the receiving thread: a writer thread of its own would
        // wait for the processor while the digest has it, and the part's
        // answer waited for that writer.
        auto store = [&s](std::uint64_t piece, const char* bytes, std::size_t length) {
            return storeBytes(s.fd,
                              static_cast<std::uint64_t>(s.index * chunkSize) + piece * kPiece,
                              bytes, length);
        };
        // The digest stage may finish after the part is acknowledged, so it
        // keeps only the continuation, which outlives this writer.
        std::vector<PartPipeline::Stage> stages;
        if (s.digest)
            stages.push_back(
                [digest = s.digest.get()](std::uint64_t, const char* bytes, std::size_t length) {
                    digest->update(bytes, length);
                    return true;
                });
        s.pipeline = std::make_unique<PartPipeline>(std::move(stages), 8, kPiece, store);
    } catch (...) {
        ::close(s.fd);
        if (receiving) {
            std::lock_guard lock(store.mutex_);
            s.runtime->receiving.erase(index);
        }
        throw;
    }
}

// Writes bytes of a part at their place `start` in the upload's file.
//
// A write returns once the bytes are in the page cache, where a killed service
// loses none of them. Their way to the device starts at once, and the pages
// written kBehind bytes before are dropped once they are on the device: the
// memory freed is used again straight away for the next pieces, where fresh
// page-cache pages for every part would cost the kernel more time than the
// copy itself. kBehind keeps a few pieces on their way, so the device stays
// busy and the writer seldom waits for it.
bool ServiceStore::PartWriter::storeBytes(int fd, std::uint64_t start, const char* data,
                                          std::size_t length) {
    for (std::size_t done = 0; done < length;) {
        const ssize_t n =
            ::pwrite(fd, data + done, length - done, static_cast<off_t>(start + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    // Both are advice: a file system without them keeps the pages cached.
    ::sync_file_range(fd, static_cast<off_t>(start), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
    constexpr std::uint64_t kBehind = 8 * kPiece;
    if (start >= kBehind) {
        ::sync_file_range(fd, static_cast<off_t>(start - kBehind), static_cast<off_t>(kPiece),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
        ::posix_fadvise(fd, static_cast<off_t>(start - kBehind), static_cast<off_t>(kPiece),
                        POSIX_FADV_DONTNEED);
    }
    return true;
}

ServiceStore::PartWriter::~PartWriter() {
    State& s = *state_;
    s.pipeline.reset(); // (unless handed on) stops its threads before the file is closed
    ::close(s.fd);
    std::lock_guard lock(s.store->mutex_);
    s.runtime->receiving.erase(s.index);
}

bool ServiceStore::PartWriter::write(const char* data, std::size_t length) {
    State& s = *state_;
    if (s.received + static_cast<std::int64_t>(length) > s.expected)
        return false;
    s.received += static_cast<std::int64_t>(length);
    return s.pipeline->push(data, length);
}

bool ServiceStore::PartWriter::writeFrom(const PartPipeline::Reader& read) {
    State& s = *state_;
    return s.pipeline->pushFrom(static_cast<std::size_t>(s.expected - s.received),
                                [&](char* into, std::size_t size) {
                                    const std::ptrdiff_t n = read(into, size);
                                    if (n > 0)
                                        s.received += n;
                                    return n;
                                });
}

void ServiceStore::PartWriter::finish() {
    State& s = *state_;
    if (s.received != s.expected)
        throw ServiceError(400, "chunk " + std::to_string(s.index) + " must have " +
                                    std::to_string(s.expected) + " bytes");
    // Every byte is written before the part is recorded; its digest may
    // still be catching up, and is taken over by the upload's digest.
    if (!s.pipeline->flush(0))
        throw std::runtime_error("cannot write chunk " + std::to_string(s.index));
    if (s.store->syncToDisk_ && ::fdatasync(s.fd) != 0)
        throw std::runtime_error("cannot flush chunk " + std::to_string(s.index));
    std::function<bool()> untilDigested;
    if (s.digest)
        untilDigested = [pipeline = std::shared_ptr<PartPipeline>(std::move(s.pipeline))] {
            return pipeline->close();
        };
    std::lock_guard lock(s.store->mutex_);
    Statement(s.store->db_,
              "INSERT OR REPLACE INTO parts (upload_id, chunk_index, size) VALUES (?, ?, ?)")
        .bind(1, s.upload.id)
        .bind(2, s.index)
        .bind(3, s.received)
        .run();
    s.runtime->digest->partStored(s.index, std::move(s.digest), std::move(untilDigested));
}

Value ServiceStore::completeUpload(const std::string& uploadId, std::int64_t totalChunks) {
    UploadSession session;
    std::shared_ptr<UploadRuntime> runtime;
    {
        std::lock_guard lock(mutex_);
        std::optional<UploadSession> found = uploadLocked(uploadId);
        if (!found)
            throw ServiceError(404, "no upload \"" + uploadId + "\"");
        session = *found;
        if (session.state == "complete")
            return *videoLocked(session.videoId);
        if (totalChunks != session.totalChunks)
            throw ServiceError(400, "\"totalChunks\" must be " +
                                        std::to_string(session.totalChunks) + " for this upload");
        if (assembling_.count(uploadId) != 0)
            throw ServiceError(409, "the upload is being completed");
        std::vector<std::int64_t> sizes(static_cast<std::size_t>(session.totalChunks), -1);
        Statement rows(db_, "SELECT chunk_index, size FROM parts WHERE upload_id = ?");
        rows.bind(1, uploadId);
        while (rows.step())
            if (rows.integer(0) >= 0 && rows.integer(0) < session.totalChunks)
                sizes[static_cast<std::size_t>(rows.integer(0))] = rows.integer(1);
        Value missing = Value::array();
        Value wrongSize = Value::array();
        for (std::int64_t i = 0; i < session.totalChunks; ++i) {
            if (sizes[static_cast<std::size_t>(i)] < 0)
                missing.push_back(i);
            else if (sizes[static_cast<std::size_t>(i)] != session.expectedPartSize(i))
                wrongSize.push_back(i);
        }
        if (!missing.empty() || !wrongSize.empty()) {
            std::string message = "the upload is not complete:";
            if (!missing.empty())
                message += " missing parts " + writeJSON(missing).value_or("[]");
            if (!wrongSize.empty())
                message += " parts of the wrong size " + writeJSON(wrongSize).value_or("[]");
            throw ServiceError(409, message,
                               Value{{"missingParts", missing}, {"wrongSizeParts", wrongSize}});
        }
        // Every part is recorded, so none is being received now, and none
        // can start until the upload is complete.
        assembling_.insert(uploadId);
        runtime = runtimeLocked(session);
    }

    // Digest what the digest thread has not, then move the file into place.
    const fs::path data = uploadDataPath(uploadId);
    std::string failure;
    std::optional<std::string> digest = runtime->digest->finish();
    std::int64_t size = -1;
    std::error_code error;
    if (auto bytes = fs::file_size(data, error); !error)
        size = static_cast<std::int64_t>(bytes);
    if (!digest || error)
        failure = "cannot read " + data.string();
    else if (syncToDisk_ && !trySyncPath(data, false))
        failure = "cannot flush " + data.string();
    if (failure.empty() && size != session.fileSize)
        failure = "the file has " + std::to_string(size) + " bytes, not " +
                  std::to_string(session.fileSize);
    if (failure.empty()) {
        std::error_code error;
        fs::rename(data, videoPath(session.videoId), error);
        if (error)
            failure = "cannot move the video into place: " + error.message();
        else if (syncToDisk_ && !trySyncPath(dataDir_ / "videos", true))
            failure = "cannot flush the videos folder";
    }

    std::lock_guard lock(mutex_);
    assembling_.erase(uploadId);
    runtimes_.erase(uploadId);
    if (!failure.empty()) {
        // The parts stay, so completing again may still succeed.
        Transaction transaction(db_);
        Statement(db_, "UPDATE videos SET status = 'failed', updated_at = ? WHERE id = ?")
            .bind(1, nowISO())
            .bind(2, session.videoId)
            .run();
        recordChange(session.projectId, "video.updated", session.videoId,
                     *videoLocked(session.videoId));
        transaction.commit();
        changed_.notify_all();
        throw ServiceError(500, "completing the upload failed: " + failure);
    }
    Transaction transaction(db_);
    Statement(db_, "UPDATE videos SET status = 'ready', size = ?, sha256 = ?, updated_at = ? "
                   "WHERE id = ?")
        .bind(1, size)
        .bind(2, *digest)
        .bind(3, nowISO())
        .bind(4, session.videoId)
        .run();
    Statement(db_, "UPDATE uploads SET state = 'complete' WHERE id = ?").bind(1, uploadId).run();
    Statement(db_, "DELETE FROM parts WHERE upload_id = ?").bind(1, uploadId).run();
    Value video = *videoLocked(session.videoId);
    recordChange(session.projectId, "video.updated", session.videoId, video);
    transaction.commit();
    changed_.notify_all();
    return video;
}

} // namespace tavrin::service
