#pragma once
// A rational media time with the editor host's semantics: a 64-bit value
// counted in units of 1/timescale seconds, flags and an epoch.
//
// Plain value type; every function here is pure and may be called from any thread.

#include <cstdint>

namespace tavrin::panel {

using CMTimeValue = std::int64_t;
using CMTimeScale = std::int32_t;
using CMTimeEpoch = std::int64_t;
using CMTimeFlags = std::uint32_t;

inline constexpr CMTimeFlags kCMTimeFlags_Valid = 1u << 0;
inline constexpr CMTimeFlags kCMTimeFlags_HasBeenRounded = 1u << 1;
inline constexpr CMTimeFlags kCMTimeFlags_PositiveInfinity = 1u << 2;
inline constexpr CMTimeFlags kCMTimeFlags_NegativeInfinity = 1u << 3;
inline constexpr CMTimeFlags kCMTimeFlags_Indefinite = 1u << 4;

struct CMTime {
    CMTimeValue value = 0;
    CMTimeScale timescale = 0;
    CMTimeFlags flags = 0; // all clear: an invalid time
    CMTimeEpoch epoch = 0;

    friend bool operator==(const CMTime&, const CMTime&) = default;
};

inline constexpr CMTime kCMTimeInvalid{};
inline constexpr CMTime kCMTimeZero{0, 1, kCMTimeFlags_Valid, 0};
inline constexpr CMTime kCMTimePositiveInfinity{
    0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};
inline constexpr CMTime kCMTimeNegativeInfinity{
    0, 0, kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity, 0};

// A valid time: the Valid flag is set and, for a numeric time, the timescale is positive.
bool CMTimeIsValid(CMTime time);

// value/timescale seconds; exact for valid numeric times.
CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale);

// The time in seconds. An invalid or indefinite time gives NaN; the infinities
// give +/- infinity.
double CMTimeGetSeconds(CMTime time);

// A time for seconds in units of preferredTimescale, rounded to the nearest
// whole unit (halves away from zero; HasBeenRounded is set when rounding
// changed the value). If the value does not fit in 64 bits the timescale is
// halved until it does. NaN (or a timescale that is not positive) gives an
// invalid time; +/- infinity give the infinite times.
CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale);

} // namespace tavrin::panel
