#pragma once
// An FCPXML time: an exact rational number of seconds ("1001/24000s", "3600s",
// "0.5s"). Plain value type; every function is pure and may be called from
// any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin::sim {

struct Rational {
    std::int64_t num = 0;
    std::int64_t den = 1; // always > 0; num/den kept in lowest terms

    static Rational make(std::int64_t num, std::int64_t den);
    // Parses "N/Ds", "Ns", "N.Fs" (the trailing "s" may be missing); no value
    // for anything else, a zero denominator or a value too large to hold.
    static std::optional<Rational> parse(std::string_view text);
    // The nearest multiple of `unit` (> 0) to `seconds`, counted in units.
    static std::int64_t roundToUnits(double seconds, Rational unit);

    double seconds() const { return static_cast<double>(num) / static_cast<double>(den); }
    // FCPXML text: "N/Ds", or "Ns" for whole seconds.
    std::string text() const;

    friend Rational operator+(Rational a, Rational b);
    friend Rational operator-(Rational a, Rational b);
    friend Rational operator*(Rational a, std::int64_t k);
    friend bool operator==(Rational a, Rational b) { return a.num == b.num && a.den == b.den; }
    friend bool operator<(Rational a, Rational b);
    friend bool operator<=(Rational a, Rational b) { return !(b < a); }
    // How many whole `unit`s fit in a (rounded down); unit > 0.
    std::int64_t floorDiv(Rational unit) const;
};

} // namespace tavrin::sim
