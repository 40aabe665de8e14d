#pragma once
// Times travel as binary doubles, so the difference of two of them may come
// out a few units in the last place off the decimal one: 2.2 - 1.7 is
// 0.5000000000000002, and 1.6 - 1.0 is 0.6000000000000001. Comparisons of a
// time difference with a bound allow for that much.

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavrin {

// How far rounding may carry the difference of times a and b.
inline double roundingSlack(double a, double b) {
    return 8 * std::numeric_limits<double>::epsilon() * std::max({1.0, std::fabs(a), std::fabs(b)});
}

} // namespace tavrin
