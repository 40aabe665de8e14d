#include "ReviewPanel/CMTime.h"

#include <cmath>
#include <limits>

namespace tavrin::panel {

namespace {
constexpr CMTimeFlags kInfinityOrIndefinite =
    kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity | kCMTimeFlags_Indefinite;
}

bool CMTimeIsValid(CMTime time) {
    if (!(time.flags & kCMTimeFlags_Valid))
        return false;
    return (time.flags & kInfinityOrIndefinite) || time.timescale > 0;
}

CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
    if (timescale <= 0)
        return kCMTimeInvalid;
    return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

double CMTimeGetSeconds(CMTime time) {
    if (!CMTimeIsValid(time) || (time.flags & kCMTimeFlags_Indefinite))
        return std::numeric_limits<double>::quiet_NaN();
    if (time.flags & kCMTimeFlags_PositiveInfinity)
        return std::numeric_limits<double>::infinity();
    if (time.flags & kCMTimeFlags_NegativeInfinity)
        return -std::numeric_limits<double>::infinity();
    return static_cast<double>(time.value) / static_cast<double>(time.timescale);
}

CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale) {
    if (std::isnan(seconds) || preferredTimescale <= 0)
        return kCMTimeInvalid;
    if (std::isinf(seconds))
        return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;

    // 2^63 as a double: every scaled value strictly inside (-2^63, 2^63) fits.
    constexpr double limit = 9223372036854775808.0;
    CMTimeScale scale = preferredTimescale;
    double scaled = std::round(seconds * scale);
    while (std::fabs(scaled) >= limit && scale > 1) {
        scale /= 2;
        scaled = std::round(seconds * scale);
    }
    if (std::fabs(scaled) >= limit)
        return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;

    CMTime time{static_cast<CMTimeValue>(scaled), scale, kCMTimeFlags_Valid, 0};
    if (scaled != seconds * scale)
        time.flags |= kCMTimeFlags_HasBeenRounded;
    return time;
}

} // namespace tavrin::panel
