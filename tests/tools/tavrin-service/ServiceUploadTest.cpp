// The service's upload API and video read-back, driven by the container app's
// own UploadManager and by a raw HTTP client, against a running tavrin-service
// process with a temporary data folder.
#include "TavrinFCP/UploadManager.h"
#include "common/Value.h"
#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace tavrin;
using namespace tavrin::testing;
using container::UploadManager;

namespace {

constexpr std::int64_t kChunk = UploadManager::chunkSize;

// Writes `size` bytes of a pattern that differs from chunk to chunk, so a
// part stored in the wrong place changes the digest; returns its SHA-256.
std::string writeFile(const std::string& path, std::int64_t size, unsigned seed = 1) {
    std::ofstream out(path, std::ios::binary);
    GChecksum* sha = g_checksum_new(G_CHECKSUM_SHA256);
    std::string block(1 << 16, '\0');
    for (std::int64_t at = 0; at < size; at += static_cast<std::int64_t>(block.size())) {
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] =
                static_cast<char>((at + static_cast<std::int64_t>(i)) * 2654435761u >> 7 ^ seed);
        auto n = static_cast<std::size_t>(std::min<std::int64_t>(block.size(), size - at));
        out.write(block.data(), static_cast<std::streamsize>(n));
        g_checksum_update(sha, reinterpret_cast<const guchar*>(block.data()),
                          static_cast<gssize>(n));
    }
    std::string digest = g_checksum_get_string(sha);
    g_checksum_free(sha);
    return digest;
}

std::string bytes(std::int64_t size, char fill) {
    return std::string(static_cast<std::size_t>(size), fill);
}

std::string sha256(const std::string& data) {
    gchar* hex = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string out(hex);
    g_free(hex);
    return out;
}

class AServiceUpload : public ::testing::Test {
  protected:
    void SetUp() override { service = std::make_unique<ServiceProcess>(data.path()); }

    httplib::Client client() const {
        httplib::Client c(service->url());
        c.set_read_timeout(std::chrono::seconds(30));
        return c;
    }
    struct Answer {
        int status = 0;
        Value body;
    };
    static Answer answerOf(const httplib::Result& result) {
        if (!result)
            return {};
        return {result->status, parseJSON(result->body).value_or(Value("not JSON"))};
    }
    Answer post(const std::string& path, const Value& body, std::optional<std::string> token = {}) {
        httplib::Headers headers;
        std::string bearer = token.value_or(service->token());
        if (!bearer.empty())
            headers.emplace("Authorization", "Bearer " + bearer);
        return answerOf(client().Post(path, headers, writeJSON(body).value(), "application/json"));
    }
    Answer get(const std::string& path, std::optional<std::string> token = {}) {
        httplib::Headers headers{{"Authorization", "Bearer " + token.value_or(service->token())}};
        return answerOf(client().Get(path, headers));
    }
    // Initiates an upload of `size` bytes; returns {uploadId, videoId}.
    std::pair<std::string, std::string> initiate(std::int64_t size) {
        Answer a = post("/api/videos/chunked-upload/initiate",
                        {{"fileName", "raw.mp4"},
                         {"fileSize", size},
                         {"totalChunks", (size + kChunk - 1) / kChunk},
                         {"projectId", "demo"}});
        EXPECT_EQ(a.status, 200) << a.body;
        return {a.body.value("uploadId", ""), a.body.value("videoId", "")};
    }
    std::string chunkURL(const std::pair<std::string, std::string>& upload, std::int64_t index,
                         std::int64_t total) {
        Answer a = post("/api/videos/chunked-upload/chunk-url", {{"uploadId", upload.first},
                                                                 {"videoId", upload.second},
                                                                 {"chunkIndex", index},
                                                                 {"totalChunks", total}});
        EXPECT_EQ(a.status, 200) << a.body;
        return a.body.value("url", "");
    }
    // PUTs to an absolute chunk URL without a token, as the uploader does.
    Answer put(const std::string& url, const std::string& body) {
        const std::string path = url.substr(url.find("/api/"));
        httplib::Client c(url.substr(0, url.find("/api/")));
        return answerOf(c.Put(path, body, "application/octet-stream"));
    }
    Answer complete(const std::pair<std::string, std::string>& upload, std::int64_t total) {
        return post(
            "/api/videos/chunked-upload/complete",
            {{"uploadId", upload.first}, {"videoId", upload.second}, {"totalChunks", total}});
    }

    TempFolder data;
    TempFolder files;
    std::unique_ptr<ServiceProcess> service;
};

TEST_F(AServiceUpload, StoresWhatUploadManagerSendsWithItsSizeAndDigest) {
    const std::int64_t sizes[] = {0, 1, kChunk, 2 * kChunk, 2 * kChunk + 1};
    for (std::int64_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string path = files.path() + "/export.mov";
        const std::string digest = writeFile(path, size, static_cast<unsigned>(size));
        std::optional<std::string> videoId =
            UploadManager(service->url())
                .uploadFile(path, "Interview cut", "demo", service->token());
        ASSERT_TRUE(videoId);
        Answer video = get("/api/videos/" + *videoId);
        ASSERT_EQ(video.status, 200);
        EXPECT_EQ(video.body.at("id"), *videoId);
        EXPECT_EQ(video.body.at("name"), "Interview cut.mp4");
        EXPECT_EQ(video.body.at("projectId"), "demo");
        EXPECT_EQ(video.body.at("status"), "ready");
        EXPECT_EQ(video.body.at("size"), size);
        EXPECT_EQ(video.body.at("sha256"), digest);
    }
    // The assembled file reads back byte for byte.
    auto listed = get("/api/projects/demo/videos").body.at("videos");
    const std::string last = listed.back().at("id").get<std::string>();
    auto file = client().Get("/api/videos/" + last + "/file",
                             {{"Authorization", "Bearer " + service->token()}});
    ASSERT_TRUE(file);
    EXPECT_EQ(file->body.size(), static_cast<std::size_t>(2 * kChunk + 1));
    EXPECT_EQ(sha256(file->body), listed.back().at("sha256"));
}

TEST_F(AServiceUpload, RefusesMissingOrWrongTokensWithAJSONError) {
    const std::string path = files.path() + "/a.mp4";
    writeFile(path, 10);
    EXPECT_FALSE(UploadManager(service->url()).uploadFile(path, "a", "demo", "wrong"));
    for (const std::string& token : {std::string(), std::string("wrong")}) {
        Answer a = post(
            "/api/videos/chunked-upload/initiate",
            {{"fileName", "a.mp4"}, {"fileSize", 0}, {"totalChunks", 0}, {"projectId", "demo"}},
            token);
        EXPECT_EQ(a.status, 401);
        EXPECT_TRUE(a.body.at("error").is_string());
        EXPECT_EQ(get("/api/videos/demo-video", token).status, 401);
        EXPECT_EQ(get("/api/projects/demo", token).status, 401);
    }
    EXPECT_TRUE(get("/api/projects/demo/videos").body.at("videos").size() == 1)
        << "a refused initiate must not create a video";
    // The scheme's name is case-insensitive; the ready demo video reads back (empty).
    auto lower = client().Get("/api/videos/demo-video/file",
                              {{"Authorization", "bearer " + service->token()}});
    EXPECT_TRUE(lower && lower->status == 200 && lower->body.empty());
}

TEST_F(AServiceUpload, RefusesInconsistentAnnouncements) {
    std::vector<Value> bad = {
        {{"fileName", "a.mp4"},
         {"fileSize", kChunk + 1},
         {"totalChunks", 1},
         {"projectId", "demo"}},
        {{"fileName", "a.mp4"}, {"fileSize", -1}, {"totalChunks", 0}, {"projectId", "demo"}},
        {{"fileName", "a.mp4"}, {"fileSize", 10}, {"totalChunks", 1}, {"projectId", "nope"}},
        {{"fileName", 3}, {"fileSize", 10}, {"totalChunks", 1}, {"projectId", "demo"}},
        {{"fileName", "a.mp4"}, {"fileSize", 1.5}, {"totalChunks", 1}, {"projectId", "demo"}},
    };
    // More than the disk holds (a sparse file would take it, until the disk is full).
    const std::int64_t large = std::int64_t{1} << 40;
    if (std::filesystem::space(data.path()).available < static_cast<std::uintmax_t>(large))
        bad.push_back({{"fileName", "a"},
                       {"fileSize", large},
                       {"totalChunks", (large + kChunk - 1) / kChunk},
                       {"projectId", "demo"}});
    for (const Value& body : bad) {
        Answer a = post("/api/videos/chunked-upload/initiate", body);
        EXPECT_GE(a.status, 400) << body;
        EXPECT_LT(a.status, 500) << body;
        EXPECT_TRUE(a.body.contains("error")) << body;
    }
}

TEST_F(AServiceUpload, RefusesChunkURLsWithABadSignatureOrExpired) {
    auto upload = initiate(2 * kChunk);
    const std::string url = chunkURL(upload, 0, 2);
    ASSERT_EQ(url.rfind(service->url() + "/", 0), 0u) << url;

    std::string forged = url;
    forged.back() = forged.back() == '0' ? '1' : '0';
    std::string otherChunk = url;
    otherChunk.replace(otherChunk.find("/0?"), 3, "/1?");
    std::string later = url;
    later.replace(later.find("expires=") + 8, 1, "9");
    std::string unsigned_ = url.substr(0, url.find('?'));
    for (const std::string& bad : {forged, otherChunk, later, unsigned_}) {
        Answer a = put(bad, bytes(kChunk, 'x'));
        EXPECT_EQ(a.status, 403) << bad;
        EXPECT_TRUE(a.body.contains("error"));
    }
    EXPECT_EQ(put(url, bytes(kChunk, 'x')).status, 200);

    // With a lifetime of 0 every URL has expired when it is used.
    service->stop();
    service = std::make_unique<ServiceProcess>(
        data.path(), std::vector<std::string>{"--chunk-url-lifetime", "0"});
    Answer expired = put(chunkURL(upload, 1, 2), bytes(kChunk, 'y'));
    EXPECT_EQ(expired.status, 403);
    EXPECT_NE(expired.body.value("error", "").find("expired"), std::string::npos);
}

TEST_F(AServiceUpload, CompletesOnlyWithEveryPartOfItsSizeAndTakesARepeatedPart) {
    auto upload = initiate(2 * kChunk + 5);
    // A part of the wrong size is refused and not stored.
    EXPECT_EQ(put(chunkURL(upload, 2, 3), bytes(4, 'c')).status, 400);
    EXPECT_EQ(put(chunkURL(upload, 1, 3), bytes(kChunk, 'b')).status, 200);
    Answer early = complete(upload, 3);
    EXPECT_EQ(early.status, 409);
    EXPECT_EQ(early.body.at("missingParts"), Value({0, 2}));
    EXPECT_NE(early.body.at("error").get<std::string>().find("missing parts [0,2]"),
              std::string::npos);
    EXPECT_EQ(get("/api/videos/" + upload.second).body.at("status"), "uploading");
    EXPECT_EQ(get("/api/videos/" + upload.second).body.at("sha256"), nullptr);

    // A repeated part replaces the earlier copy.
    EXPECT_EQ(put(chunkURL(upload, 0, 3), bytes(kChunk, 'z')).status, 200);
    EXPECT_EQ(put(chunkURL(upload, 0, 3), bytes(kChunk, 'a')).status, 200);
    EXPECT_EQ(put(chunkURL(upload, 2, 3), bytes(5, 'c')).status, 200);
    Answer done = complete(upload, 3);
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.body.at("status"), "ready");
    EXPECT_EQ(done.body.at("sha256"),
              sha256(bytes(kChunk, 'a') + bytes(kChunk, 'b') + bytes(5, 'c')));
    // Completing again answers the same video; a part after completion is refused.
    EXPECT_EQ(complete(upload, 3).body, done.body);
    EXPECT_EQ(post("/api/videos/chunked-upload/chunk-url", {{"uploadId", upload.first},
                                                            {"videoId", upload.second},
                                                            {"chunkIndex", 0},
                                                            {"totalChunks", 3}})
                  .status,
              409);
}

TEST_F(AServiceUpload, KeepsPartsAndResultsAcrossAKill) {
    // Flushed to the disk or not, what was acknowledged survives a kill.
    for (bool flushed : {false, true}) {
        SCOPED_TRACE(flushed ? "--fsync" : "default");
        service.reset(); // one service per data folder
        service = std::make_unique<ServiceProcess>(data.path(),
                                                   flushed ? std::vector<std::string>{"--fsync"}
                                                           : std::vector<std::string>{});
        auto upload = initiate(kChunk + 3);
        ASSERT_EQ(put(chunkURL(upload, 0, 2), bytes(kChunk, 'p')).status, 200);
        const std::string token = service->token();
        service->kill();
        service->restart();
        EXPECT_EQ(service->token(), token) << "the generated token is kept";
        ASSERT_EQ(put(chunkURL(upload, 1, 2), bytes(3, 'q')).status, 200);
        Answer done = complete(upload, 2);
        ASSERT_EQ(done.status, 200) << done.body;

        service->kill();
        service->restart();
        Answer video = get("/api/videos/" + upload.second);
        EXPECT_EQ(video.body.at("status"), "ready");
        EXPECT_EQ(video.body.at("size"), kChunk + 3);
        EXPECT_EQ(video.body.at("sha256"), sha256(bytes(kChunk, 'p') + bytes(3, 'q')));
    }
}

// Uploads left after their first part (an app quit mid-upload) hold no
// thread and buffer each for as long as the service runs, and can still be
// finished later.
TEST_F(AServiceUpload, KeepsNoThreadPerAbandonedUploadAndStillFinishesOne) {
    auto digestThreads = [&] {
        int count = 0;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(service->pid()) + "/task", error)) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            count += name == "upload-digest";
        }
        return count;
    };
    std::vector<std::pair<std::string, std::string>> uploads;
    for (int i = 0; i < 12; ++i) {
        uploads.push_back(initiate(kChunk + 1));
        ASSERT_EQ(
            put(chunkURL(uploads.back(), 0, 2), bytes(kChunk, static_cast<char>('a' + i))).status,
            200);
    }
    // Going on with the first upload (its runtime forgotten by now) leaves at
    // most a few others' threads.
    ASSERT_EQ(put(chunkURL(uploads.front(), 1, 2), bytes(1, 'z')).status, 200);
    EXPECT_LE(digestThreads(), 6);
    EXPECT_GT(digestThreads(), 0) << "the threads are named as counted";
    Answer done = complete(uploads.front(), 2);
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.body.at("sha256"), sha256(bytes(kChunk, 'a') + bytes(1, 'z')));
}

TEST_F(AServiceUpload, NeverCompletesWithAPartCutOffByAKill) {
    auto upload = initiate(kChunk + 1);
    ASSERT_EQ(put(chunkURL(upload, 0, 2), bytes(kChunk, 'A')).status, 200);
    ASSERT_EQ(put(chunkURL(upload, 1, 2), bytes(1, 'A')).status, 200);

    // Part 0 is sent again with other bytes, and the service is killed once
    // it has begun to write them over the first copy.
    const std::string url = chunkURL(upload, 0, 2);
    std::atomic<bool> killed{false};
    auto sending = std::async(std::launch::async, [&] {
        httplib::Client c(url.substr(0, url.find("/api/")));
        return c.Put(
            url.substr(url.find("/api/")), static_cast<std::size_t>(kChunk),
            [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset < 2u << 20)
                    return sink.write(bytes(1 << 20, 'B').data(), 1 << 20);
                while (!killed)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return false;
            },
            "application/octet-stream");
    });
    const std::string file = data.path() + "/uploads/" + upload.first + ".data";
    auto overwritten = [&] {
        std::ifstream in(file, std::ios::binary);
        return in.get() == 'B';
    };
    for (int i = 0; i < 2000 && !overwritten(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(overwritten());
    service->kill();
    killed = true;
    sending.wait();

    service->restart();
    Answer refused = complete(upload, 2);
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.body.at("missingParts"), Value({0}));
    EXPECT_EQ(get("/api/videos/" + upload.second).body.at("status"), "uploading");
    ASSERT_EQ(put(chunkURL(upload, 0, 2), bytes(kChunk, 'C')).status, 200);
    EXPECT_EQ(complete(upload, 2).body.at("sha256"), sha256(bytes(kChunk, 'C') + bytes(1, 'A')));
}

TEST_F(AServiceUpload, MarksTheVideoFailedWhenItsDataIsLost) {
    auto upload = initiate(10);
    ASSERT_EQ(put(chunkURL(upload, 0, 1), bytes(10, 'x')).status, 200);
    std::filesystem::remove(data.path() + "/uploads/" + upload.first + ".data");
    Answer failed = complete(upload, 1);
    EXPECT_EQ(failed.status, 500);
    EXPECT_TRUE(failed.body.contains("error"));
    Answer video = get("/api/videos/" + upload.second);
    EXPECT_EQ(video.body.at("status"), "failed");
    EXPECT_EQ(video.body.at("sha256"), nullptr);
    // A part cannot be put into a lost file (it would assemble a video with holes).
    EXPECT_EQ(put(chunkURL(upload, 0, 1), bytes(10, 'x')).status, 500);
}

} // namespace
