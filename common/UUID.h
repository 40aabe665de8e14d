#pragma once
// Random (version 4) UUIDs in their canonical text form.

#include <array>
#include <cstdint>
#include <string>

namespace tavrin {

class UUID {
  public:
    // A fresh random UUID (122 random bits from a generator seeded by
    // std::random_device). Thread-safe; never blocks.
    static UUID random();

    // Canonical text, upper case: 8-4-4-4-12 hexadecimal digits, e.g.
    // "3F2A9C1E-5B7D-4E21-9A0F-0123456789AB".
    std::string uuidString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

  private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace tavrin
