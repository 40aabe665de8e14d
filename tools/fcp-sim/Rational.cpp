#include "tools/fcp-sim/Rational.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>

namespace tavrin::sim {

namespace {

__extension__ typedef __int128 Wide;

Rational reduce(Wide num, Wide den) {
    if (den < 0) {
        num = -num;
        den = -den;
    }
    Wide a = num < 0 ? -num : num, b = den;
    while (b != 0) {
        Wide t = a % b;
        a = b;
        b = t;
    }
    if (a > 1) {
        num /= a;
        den /= a;
    }
    // Times in a library stay far below this; saturate rather than wrap.
    constexpr Wide kMax = std::numeric_limits<std::int64_t>::max();
    while (num > kMax || num < -kMax || den > kMax) {
        num /= 2;
        den /= 2;
        if (den == 0)
            den = 1;
    }
    return Rational{static_cast<std::int64_t>(num), static_cast<std::int64_t>(den)};
}

} // namespace

Rational Rational::make(std::int64_t num, std::int64_t den) {
    return reduce(num, den == 0 ? 1 : den);
}

std::optional<Rational> Rational::parse(std::string_view text) {
    if (!text.empty() && text.back() == 's')
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    auto whole = [](std::string_view digits) -> std::optional<std::int64_t> {
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() || digits.empty())
            return std::nullopt;
        return value;
    };
    if (auto slash = text.find('/'); slash != std::string_view::npos) {
        auto num = whole(text.substr(0, slash));
        auto den = whole(text.substr(slash + 1));
        if (!num || !den || *den <= 0)
            return std::nullopt;
        return make(*num, *den);
    }
    if (auto dot = text.find('.'); dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        if (fraction.size() > 9 || fraction.find_first_not_of("0123456789") != fraction.npos)
            return std::nullopt;
        auto intPart = dot == 0 ? std::optional<std::int64_t>(0) : whole(text.substr(0, dot));
        auto fracPart = fraction.empty() ? std::optional<std::int64_t>(0) : whole(fraction);
        if (!intPart || !fracPart)
            return std::nullopt;
        std::int64_t scale = 1;
        for (std::size_t i = 0; i < fraction.size(); ++i)
            scale *= 10;
        bool negative = !text.empty() && text.front() == '-';
        Wide num = static_cast<Wide>(*intPart) * scale + (negative ? -*fracPart : *fracPart);
        return reduce(num, scale);
    }
    auto num = whole(text);
    if (!num)
        return std::nullopt;
    return make(*num, 1);
}

std::int64_t Rational::roundToUnits(double seconds, Rational unit) {
    double units =
        std::round(seconds * static_cast<double>(unit.den) / static_cast<double>(unit.num));
    if (std::isnan(units))
        return 0;
    // Beyond any sequence (an infinite or huge time): the largest count, of its sign.
    constexpr double kLimit = 9.0e18;
    return static_cast<std::int64_t>(std::clamp(units, -kLimit, kLimit));
}

std::string Rational::text() const {
    if (den == 1)
        return std::to_string(num) + "s";
    return std::to_string(num) + "/" + std::to_string(den) + "s";
}

Rational operator+(Rational a, Rational b) {
    return reduce(Wide(a.num) * b.den + Wide(b.num) * a.den, Wide(a.den) * b.den);
}

Rational operator-(Rational a, Rational b) {
    return reduce(Wide(a.num) * b.den - Wide(b.num) * a.den, Wide(a.den) * b.den);
}

Rational operator*(Rational a, std::int64_t k) {
    return reduce(Wide(a.num) * k, a.den);
}

bool operator<(Rational a, Rational b) {
    return Wide(a.num) * b.den < Wide(b.num) * a.den;
}

std::int64_t Rational::floorDiv(Rational unit) const {
    Wide n = Wide(num) * unit.den, d = Wide(den) * unit.num;
    Wide q = n / d;
    if ((n % d != 0) && ((n < 0) != (d < 0)))
        --q;
    return static_cast<std::int64_t>(q);
}

} // namespace tavrin::sim
