#include "tools/fcp-sim/RenderExport.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace tavrin::sim {

std::optional<RenderedExport> renderExport(const std::filesystem::path& folder,
                                           const std::string& name, std::uint64_t bytes,
                                           double seconds, std::string* error) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        *error = "the export name must be a plain file name";
        return std::nullopt;
    }
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    RenderedExport result{folder / name, 0, {}};
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(result.path.c_str(), "wb"), &std::fclose);
    if (!file) {
        *error = "cannot create " + result.path.string();
        return std::nullopt;
    }
    std::unique_ptr<GChecksum, void (*)(GChecksum*)> checksum(g_checksum_new(G_CHECKSUM_SHA256),
                                                              &g_checksum_free);
    constexpr std::uint64_t kBursts = 10;
    const std::uint64_t burst = std::max<std::uint64_t>(1, (bytes + kBursts - 1) / kBursts);
    const auto pause = std::chrono::duration<double>(seconds / kBursts);
    std::uint64_t state = 0x9E3779B97F4A7C15ull; // xorshift64: deterministic filler
    std::vector<unsigned char> buffer;
    while (result.size < bytes) {
        std::uint64_t n = std::min(burst, bytes - result.size);
        buffer.resize(n);
        for (auto& byte : buffer) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = static_cast<unsigned char>(state >> 56);
        }
        if (std::fwrite(buffer.data(), 1, n, file.get()) != n || std::fflush(file.get()) != 0) {
            *error = "cannot write " + result.path.string();
            return std::nullopt;
        }
        g_checksum_update(checksum.get(), buffer.data(), static_cast<gssize>(n));
        result.size += n;
        if (result.size < bytes)
            std::this_thread::sleep_for(pause);
    }
    if (std::fclose(file.release()) != 0) {
        *error = "cannot close " + result.path.string();
        return std::nullopt;
    }
    result.sha256 = g_checksum_get_string(checksum.get());
    return result;
}

} // namespace tavrin::sim
