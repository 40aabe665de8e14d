#include "common/UUID.h"

#include <random>

namespace tavrin {

UUID UUID::random() {
    // One generator per thread, seeded from the system's entropy source.
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    UUID uuid;
    for (int i = 0; i < 16; i += 8) {
        std::uint64_t word = generator();
        for (int j = 0; j < 8; ++j)
            uuid.bytes_[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    uuid.bytes_[6] = static_cast<std::uint8_t>((uuid.bytes_[6] & 0x0F) | 0x40); // version 4
    uuid.bytes_[8] = static_cast<std::uint8_t>((uuid.bytes_[8] & 0x3F) | 0x80); // RFC 4122 variant
    return uuid;
}

std::string UUID::uuidString() const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(kHex[bytes_[i] >> 4]);
        text.push_back(kHex[bytes_[i] & 0x0F]);
    }
    return text;
}

} // namespace tavrin
