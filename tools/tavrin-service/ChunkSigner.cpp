#include "tools/tavrin-service/ChunkSigner.h"

#include <glib.h>

namespace tavrin::service {

std::string ChunkSigner::signature(const std::string& uploadId, std::int64_t chunkIndex,
                                   std::int64_t expires) const {
    // Fields joined by a line feed, which no upload identifier contains.
    const std::string message =
        uploadId + "\n" + std::to_string(chunkIndex) + "\n" + std::to_string(expires);
    gchar* hex = g_compute_hmac_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(key_.data()), key_.size(),
        reinterpret_cast<const guchar*>(message.data()), message.size());
    std::string out(hex);
    g_free(hex);
    return out;
}

ChunkSigner::Check ChunkSigner::check(const std::string& uploadId, std::int64_t chunkIndex,
                                      std::int64_t expires, const std::string& given,
                                      std::int64_t now) const {
    const std::string expected = signature(uploadId, chunkIndex, expires);
    // Compared in constant time, so timing tells nothing about the right signature.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    if (difference != 0)
        return Check::badSignature;
    return now >= expires ? Check::expired : Check::valid;
}

} // namespace tavrin::service
