#pragma once
// Signs and checks the chunk URLs that the service hands out: each one names
// an upload and a chunk index and carries an expiry time and an HMAC-SHA256
// over the three, so a PUT to it needs no bearer token and cannot be turned
// into a PUT of another chunk, another upload or at a later time.
//
// Thread-safe (holds only its key).

#include <cstdint>
#include <string>

namespace tavrin::service {

class ChunkSigner {
  public:
    explicit ChunkSigner(std::string key) : key_(std::move(key)) {}

    // Lower-case hex HMAC-SHA256 of the upload, chunk and expiry (Unix seconds).
    std::string signature(const std::string& uploadId, std::int64_t chunkIndex,
                          std::int64_t expires) const;

    enum class Check { valid, badSignature, expired };
    // `now` in Unix seconds; a URL is expired from its expiry second on.
    Check check(const std::string& uploadId, std::int64_t chunkIndex, std::int64_t expires,
                const std::string& signature, std::int64_t now) const;

  private:
    std::string key_;
};

} // namespace tavrin::service
