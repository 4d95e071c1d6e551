#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lento {

// A rational media time: value / timescale seconds, with flags for validity, rounding and the
// non-numeric times. The all-zero time is invalid.
struct MediaTime {
    enum Flag : uint32_t {
        Valid = 1u << 0,
        HasBeenRounded = 1u << 1,
        PositiveInfinity = 1u << 2,
        NegativeInfinity = 1u << 3,
        Indefinite = 1u << 4,
    };

    static constexpr int32_t kMaxTimescale = 1000000000;

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;
    int64_t epoch = 0;

    // value / timescale; a timescale <= 0 gives an invalid time.
    static MediaTime make(int64_t value, int32_t timescale);
    // Nearest value at the preferred timescale (ties away from zero). When that value does not
    // fit in 64 bits, the timescale is halved until it does and the result is marked rounded.
    // NaN gives an invalid time, +-infinity the infinite times.
    static MediaTime makeWithSeconds(double seconds, int32_t preferredTimescale);
    static MediaTime zero();    // 0/1, valid
    static MediaTime invalid(); // all zero
    static MediaTime positiveInfinity();
    static MediaTime negativeInfinity();
    static MediaTime indefinite();

    bool isValid() const { return (flags & Valid) != 0; }
    bool isPositiveInfinity() const { return isValid() && (flags & PositiveInfinity) != 0; }
    bool isNegativeInfinity() const { return isValid() && (flags & NegativeInfinity) != 0; }
    bool isIndefinite() const { return isValid() && (flags & Indefinite) != 0; }
    // Valid and neither infinite nor indefinite.
    bool isNumeric() const;
    bool hasBeenRounded() const { return (flags & HasBeenRounded) != 0; }

    // Seconds as a double; NaN for invalid and indefinite times, +-inf for the infinities.
    double seconds() const;

    // The same time at another timescale, rounded to the nearest value (ties away from zero);
    // rounded results are marked. Non-numeric times come back unchanged.
    MediaTime convertScale(int32_t newTimescale) const;

    // "1200/600 = 2.000s", "INVALID", "+INFINITY", "-INFINITY", "INDEFINITE".
    std::string description() const;
};

// Sum and difference. Equal timescales stay; different ones use their least common multiple,
// and where that exceeds kMaxTimescale or the value overflows, the larger of the two
// timescales (halved further while the value still overflows), rounded and marked.
// Any invalid operand gives an invalid time; an indefinite operand an indefinite time;
// +inf + -inf is indefinite; an infinity otherwise wins over a numeric time. Numeric times in
// different epochs give an invalid time, and a sum beyond timescale 1 the matching infinity.
MediaTime add(MediaTime a, MediaTime b);
MediaTime subtract(MediaTime a, MediaTime b);
// The time times a 32-bit integer, at the same timescale; on overflow the timescale is halved
// until the value fits, and the result is marked rounded.
MediaTime multiply(MediaTime time, int32_t multiplier);
// -1, 0 or 1. Numeric times by epoch, then by exact rational value (never through doubles).
// An invalid time equals another invalid time and is greater than every other time; then +inf,
// then indefinite, then every numeric time; -inf is smaller than every other time.
int compare(MediaTime a, MediaTime b);

inline MediaTime operator+(MediaTime a, MediaTime b) {
    return add(a, b);
}
inline MediaTime operator-(MediaTime a, MediaTime b) {
    return subtract(a, b);
}
inline MediaTime operator*(MediaTime a, int32_t n) {
    return multiply(a, n);
}
inline bool operator==(MediaTime a, MediaTime b) {
    return compare(a, b) == 0;
}
inline bool operator!=(MediaTime a, MediaTime b) {
    return compare(a, b) != 0;
}
inline bool operator<(MediaTime a, MediaTime b) {
    return compare(a, b) < 0;
}
inline bool operator<=(MediaTime a, MediaTime b) {
    return compare(a, b) <= 0;
}
inline bool operator>(MediaTime a, MediaTime b) {
    return compare(a, b) > 0;
}
inline bool operator>=(MediaTime a, MediaTime b) {
    return compare(a, b) >= 0;
}

inline MediaTime minTime(MediaTime a, MediaTime b) {
    return compare(a, b) <= 0 ? a : b;
}
inline MediaTime maxTime(MediaTime a, MediaTime b) {
    return compare(a, b) >= 0 ? a : b;
}

// `time` * num / den at the timescale of `time`, rounded to the nearest value (ties away from
// zero) and marked rounded where inexact. Invalid where an operand is not numeric or den is 0.
MediaTime scaleTime(MediaTime time, MediaTime num, MediaTime den);
// The same without rounding where a timescale of 32 bits holds the result: at the least multiple
// of the time's own timescale that does (a second stretched 2.25 times at timescale 1 is 9/4),
// otherwise as scaleTime. A stretch rounded at a coarse timescale would move everything after it.
MediaTime scaleTimeExactly(MediaTime time, MediaTime num, MediaTime den);

// How many times `b` goes into `a`, as a fraction in lowest terms with a positive denominator,
// both of 32 bits: exact where such a fraction is the ratio, otherwise the nearest one, marked
// inexact.
struct TimeRatio {
    int32_t num = 0;
    int32_t den = 1;
    bool exact = true;
};
// Empty where either time is not numeric or `b` is zero.
std::optional<TimeRatio> ratioOf(MediaTime a, MediaTime b);

// A start and a duration.
struct MediaTimeRange {
    MediaTime start;
    MediaTime duration;

    static MediaTimeRange make(MediaTime start, MediaTime duration);
    // From start to end: the duration is end - start, in epoch 0.
    static MediaTimeRange fromTimeToTime(MediaTime start, MediaTime end);
    static MediaTimeRange invalid() { return {}; }
    static MediaTimeRange zero();

    // start + duration, in the start's epoch.
    MediaTime end() const;
    // Both times valid, the duration numeric and not negative (or +inf: from start onwards), the
    // duration's epoch 0.
    bool isValid() const;
    bool isEmpty() const;
    // start <= time < end.
    bool containsTime(MediaTime time) const;
};

bool operator==(const MediaTimeRange& a, const MediaTimeRange& b);

} // namespace lento
