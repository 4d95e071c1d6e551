#include "media/MediaTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

namespace lento {

namespace {

// Wide enough for value * timescale * timescale (63 + 31 + 31 bits), so every intermediate
// below is exact.
__extension__ typedef __int128 Int128;

enum class Kind { Invalid, NegativeInfinity, Numeric, Indefinite, PositiveInfinity };

// A Valid time with no special flag but a timescale <= 0 can only have been put together by
// hand; it has no meaningful value, so it is treated as invalid throughout.
Kind kindOf(const MediaTime& t) {
    if (!t.isValid()) {
        return Kind::Invalid;
    }
    if (t.flags & MediaTime::Indefinite) {
        return Kind::Indefinite;
    }
    if (t.flags & MediaTime::PositiveInfinity) {
        return Kind::PositiveInfinity;
    }
    if (t.flags & MediaTime::NegativeInfinity) {
        return Kind::NegativeInfinity;
    }
    return t.timescale > 0 ? Kind::Numeric : Kind::Invalid;
}

// Position in the total order used by compare().
int rankOf(Kind kind) {
    switch (kind) {
    case Kind::NegativeInfinity:
        return 0;
    case Kind::Numeric:
        return 1;
    case Kind::Indefinite:
        return 2;
    case Kind::PositiveInfinity:
        return 3;
    case Kind::Invalid:
        return 4;
    }
    return 4;
}

bool fitsInt64(Int128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

MediaTime numeric(int64_t value, int32_t timescale, bool rounded, int64_t epoch) {
    MediaTime t = MediaTime::make(value, timescale);
    if (rounded) {
        t.flags |= MediaTime::HasBeenRounded;
    }
    t.epoch = epoch;
    return t;
}

MediaTime infinity(bool positive, bool rounded) {
    MediaTime t = positive ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
    if (rounded) {
        t.flags |= MediaTime::HasBeenRounded;
    }
    return t;
}

struct Quotient {
    Int128 value;
    bool inexact;
};

// num / den rounded to the nearest integer, ties away from zero. den must be positive.
Quotient roundedDivide(Int128 num, Int128 den) {
    Int128 q = num / den;
    Int128 r = num % den;
    if (r < 0) {
        r = -r;
    }
    if (r >= den - r) {
        q += num < 0 ? -1 : 1;
    }
    return {q, r != 0};
}

Int128 absolute(Int128 v) {
    return v < 0 ? -v : v;
}

// Divides num and den by their greatest common divisor.
void reduce(Int128& num, Int128& den) {
    Int128 a = absolute(num);
    Int128 b = absolute(den);
    while (b != 0) {
        const Int128 rest = a % b;
        a = b;
        b = rest;
    }
    if (a > 1) {
        num /= a;
        den /= a;
    }
}

// The exact time num / den seconds at `timescale`, rounded. Where the value overflows, the
// timescale is halved until it fits, and past timescale 1 the result is the infinity of the
// value's sign. Any result away from `timescale` or not exact is marked rounded.
// |num| * timescale must stay below 2^126 and den must be positive.
MediaTime fitToTimescale(Int128 num, Int128 den, int32_t timescale, bool rounded, int64_t epoch) {
    for (;;) {
        const Quotient q = roundedDivide(num * timescale, den);
        if (fitsInt64(q.value)) {
            return numeric(static_cast<int64_t>(q.value), timescale, rounded || q.inexact, epoch);
        }
        if (timescale == 1) {
            return infinity(num > 0, true);
        }
        timescale /= 2;
        rounded = true;
    }
}

// a + sign * b, with sign +1 or -1.
MediaTime combine(const MediaTime& a, const MediaTime& b, int sign) {
    const Kind ka = kindOf(a);
    Kind kb = kindOf(b);
    if (ka == Kind::Invalid || kb == Kind::Invalid) {
        return MediaTime::invalid();
    }
    if (ka == Kind::Indefinite || kb == Kind::Indefinite) {
        return MediaTime::indefinite();
    }
    if (sign < 0 && kb == Kind::PositiveInfinity) {
        kb = Kind::NegativeInfinity;
    } else if (sign < 0 && kb == Kind::NegativeInfinity) {
        kb = Kind::PositiveInfinity;
    }
    const bool aInfinite = ka != Kind::Numeric;
    const bool bInfinite = kb != Kind::Numeric;
    if (aInfinite && bInfinite && ka != kb) {
        return MediaTime::indefinite();
    }
    if (aInfinite || bInfinite) {
        return infinity((aInfinite ? ka : kb) == Kind::PositiveInfinity, false);
    }

    if (a.epoch != b.epoch) {
        return MediaTime::invalid();
    }
    const bool rounded = a.hasBeenRounded() || b.hasBeenRounded();
    const Int128 bValue = sign < 0 ? -Int128(b.value) : Int128(b.value);

    if (a.timescale == b.timescale) {
        return fitToTimescale(Int128(a.value) + bValue, a.timescale, a.timescale, rounded, a.epoch);
    }

    // The exact sum is num / den seconds.
    const Int128 num = Int128(a.value) * b.timescale + bValue * a.timescale;
    const Int128 den = Int128(a.timescale) * b.timescale;

    const int64_t divisor = std::gcd(int64_t(a.timescale), int64_t(b.timescale));
    const int64_t lcm = int64_t(a.timescale) / divisor * b.timescale;
    if (lcm <= MediaTime::kMaxTimescale) {
        // Exact: both terms of num are multiples of the divisor.
        const Int128 value = num / divisor;
        if (fitsInt64(value)) {
            return numeric(static_cast<int64_t>(value), static_cast<int32_t>(lcm), rounded,
                           a.epoch);
        }
    }
    return fitToTimescale(num, den, std::max(a.timescale, b.timescale), true, a.epoch);
}

} // namespace

MediaTime MediaTime::make(int64_t value, int32_t timescale) {
    if (timescale <= 0) {
        return invalid();
    }
    return {value, timescale, Valid, 0};
}

MediaTime MediaTime::makeWithSeconds(double seconds, int32_t preferredTimescale) {
    if (std::isnan(seconds) || preferredTimescale <= 0) {
        return invalid();
    }
    if (std::isinf(seconds)) {
        return seconds > 0 ? positiveInfinity() : negativeInfinity();
    }
    // Beyond the 64-bit range even at timescale 1.
    if (seconds >= 0x1p63 || seconds < -0x1p63) {
        return infinity(seconds > 0, true);
    }

    // seconds == mantissa * 2^exponent exactly, with a 53-bit integer mantissa.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<int64_t>(std::ldexp(fraction, 53));
    exponent -= 53;

    if (exponent >= 0) {
        // |seconds| < 2^63 keeps the shift within 11 bits.
        return fitToTimescale(Int128(mantissa) * (Int128(1) << exponent), 1, preferredTimescale,
                              false, 0);
    }
    if (exponent < -100) {
        // |seconds * timescale| < 2^84 / 2^100: rounds to zero.
        return numeric(0, preferredTimescale, mantissa != 0, 0);
    }
    return fitToTimescale(mantissa, Int128(1) << -exponent, preferredTimescale, false, 0);
}

MediaTime MediaTime::zero() {
    return make(0, 1);
}

MediaTime MediaTime::invalid() {
    return {};
}

MediaTime MediaTime::positiveInfinity() {
    return {0, 0, Valid | PositiveInfinity, 0};
}

MediaTime MediaTime::negativeInfinity() {
    return {0, 0, Valid | NegativeInfinity, 0};
}

MediaTime MediaTime::indefinite() {
    return {0, 0, Valid | Indefinite, 0};
}

bool MediaTime::isNumeric() const {
    return kindOf(*this) == Kind::Numeric;
}

double MediaTime::seconds() const {
    switch (kindOf(*this)) {
    case Kind::Numeric:
        return static_cast<double>(value) / timescale;
    case Kind::PositiveInfinity:
        return std::numeric_limits<double>::infinity();
    case Kind::NegativeInfinity:
        return -std::numeric_limits<double>::infinity();
    case Kind::Invalid:
    case Kind::Indefinite:
        break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (newTimescale <= 0) {
        return invalid();
    }
    if (!isNumeric() || newTimescale == timescale) {
        return *this;
    }
    const Quotient q = roundedDivide(Int128(value) * newTimescale, timescale);
    const bool rounded = hasBeenRounded() || q.inexact;
    if (!fitsInt64(q.value)) {
        return infinity(q.value > 0, true);
    }
    return numeric(static_cast<int64_t>(q.value), newTimescale, rounded, epoch);
}

std::string MediaTime::description() const {
    switch (kindOf(*this)) {
    case Kind::Invalid:
        return "INVALID";
    case Kind::PositiveInfinity:
        return "+INFINITY";
    case Kind::NegativeInfinity:
        return "-INFINITY";
    case Kind::Indefinite:
        return "INDEFINITE";
    case Kind::Numeric:
        break;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%lld/%d = %.3fs", static_cast<long long>(value), timescale,
                  seconds());
    return text;
}

MediaTime add(MediaTime a, MediaTime b) {
    return combine(a, b, 1);
}

MediaTime subtract(MediaTime a, MediaTime b) {
    return combine(a, b, -1);
}

MediaTime multiply(MediaTime time, int32_t multiplier) {
    switch (kindOf(time)) {
    case Kind::Invalid:
        return MediaTime::invalid();
    case Kind::Indefinite:
        return MediaTime::indefinite();
    case Kind::PositiveInfinity:
    case Kind::NegativeInfinity:
        if (multiplier == 0) {
            return MediaTime::indefinite();
        }
        return infinity(time.isPositiveInfinity() == (multiplier > 0), false);
    case Kind::Numeric:
        break;
    }
    return fitToTimescale(Int128(time.value) * multiplier, time.timescale, time.timescale,
                          time.hasBeenRounded(), time.epoch);
}

int compare(MediaTime a, MediaTime b) {
    const Kind ka = kindOf(a);
    const Kind kb = kindOf(b);
    if (ka != kb) {
        return rankOf(ka) < rankOf(kb) ? -1 : 1;
    }
    if (ka != Kind::Numeric) {
        return 0;
    }
    if (a.epoch != b.epoch) {
        return a.epoch < b.epoch ? -1 : 1;
    }
    const Int128 left = Int128(a.value) * b.timescale;
    const Int128 right = Int128(b.value) * a.timescale;
    return left < right ? -1 : (left > right ? 1 : 0);
}

MediaTime scaleTime(MediaTime time, MediaTime num, MediaTime den) {
    if (!time.isNumeric() || !num.isNumeric() || !den.isNumeric() || den.value == 0) {
        return MediaTime::invalid();
    }
    // (tv / tts) * (nv / nts) / (dv / dts), expressed at tts.
    Int128 numerator = Int128(time.value) * num.value * den.timescale;
    Int128 denominator = Int128(num.timescale) * den.value;
    const Int128 bound = Int128(1) << 120;
    if (numerator > bound || numerator < -bound) {
        // Too large for exact arithmetic; fall back to doubles rather than overflow.
        return MediaTime::makeWithSeconds(time.seconds() * num.seconds() / den.seconds(),
                                          time.timescale);
    }
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    const Quotient q = roundedDivide(numerator, denominator);
    return numeric(static_cast<int64_t>(q.value), time.timescale, q.inexact, 0);
}

MediaTime scaleTimeExactly(MediaTime time, MediaTime num, MediaTime den) {
    const MediaTime rounded = scaleTime(time, num, den);
    if (!rounded.isNumeric() || !rounded.hasBeenRounded() || time.hasBeenRounded()) {
        return rounded;
    }
    Int128 numerator = Int128(time.value) * num.value * den.timescale;
    Int128 denominator = Int128(time.timescale) * num.timescale * den.value;
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    reduce(numerator, denominator);
    Int128 ownScale = time.timescale;
    Int128 rest = denominator;
    reduce(ownScale, rest);
    const Int128 timescale = ownScale * denominator;
    if (timescale > MediaTime::kMaxTimescale) {
        return rounded;
    }
    const Int128 value = numerator * (timescale / denominator);
    if (!fitsInt64(value)) {
        return rounded;
    }
    MediaTime exact = MediaTime::make(static_cast<int64_t>(value), static_cast<int32_t>(timescale));
    exact.epoch = time.epoch;
    return exact;
}

std::optional<TimeRatio> ratioOf(MediaTime a, MediaTime b) {
    if (!a.isNumeric() || !b.isNumeric() || b.value == 0) {
        return std::nullopt;
    }
    Int128 num = Int128(a.value) * b.timescale;
    Int128 den = Int128(b.value) * a.timescale;
    if (den < 0) {
        num = -num;
        den = -den;
    }
    reduce(num, den);
    const Int128 most = std::numeric_limits<int32_t>::max();
    if (absolute(num) <= most && den <= most) {
        return TimeRatio{static_cast<int32_t>(num), static_cast<int32_t>(den), true};
    }
    // The nearest fraction of 32-bit terms: by continued fractions, stopping before a term
    // overflows, then the best semiconvergent of the last step.
    const bool negative = num < 0;
    Int128 n = absolute(num);
    Int128 d = den;
    Int128 p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    while (d != 0) {
        const Int128 whole = n / d;
        const Int128 p2 = whole * p1 + p0;
        const Int128 q2 = whole * q1 + q0;
        if (p2 > most || q2 > most) {
            // The largest multiple of this step that still fits, if it comes closer.
            Int128 k = q1 != 0 ? (most - q0) / q1 : whole;
            if (p1 != 0) {
                k = std::min(k, (most - p0) / p1);
            }
            k = std::min(k, whole);
            if (2 * k >= whole && k > 0) {
                p1 = k * p1 + p0;
                q1 = k * q1 + q0;
            }
            break;
        }
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const Int128 rest = n - whole * d;
        n = d;
        d = rest;
    }
    if (q1 == 0) {
        // Beyond 32 bits however it is written.
        return TimeRatio{negative ? -std::numeric_limits<int32_t>::max()
                                  : std::numeric_limits<int32_t>::max(),
                         1, false};
    }
    return TimeRatio{static_cast<int32_t>(negative ? -p1 : p1), static_cast<int32_t>(q1), false};
}

MediaTimeRange MediaTimeRange::make(MediaTime start, MediaTime duration) {
    return {start, duration};
}

MediaTimeRange MediaTimeRange::fromTimeToTime(MediaTime start, MediaTime end) {
    MediaTime duration = subtract(end, start);
    // A length, not a point in the operands' epoch.
    if (duration.isNumeric()) {
        duration.epoch = 0;
    }
    return {start, duration};
}

MediaTimeRange MediaTimeRange::zero() {
    return {MediaTime::zero(), MediaTime::zero()};
}

MediaTime MediaTimeRange::end() const {
    // The duration is a length, so the end lies in the start's epoch.
    MediaTime length = duration;
    if (length.epoch == 0) {
        length.epoch = start.epoch;
    }
    return add(start, length);
}

bool MediaTimeRange::isValid() const {
    if (!start.isValid() || !duration.isValid() || duration.epoch != 0) {
        return false;
    }
    // An infinite duration runs from the start onwards.
    if (duration.isPositiveInfinity()) {
        return true;
    }
    return duration.isNumeric() && duration.value >= 0;
}

bool MediaTimeRange::isEmpty() const {
    return isValid() && duration.isNumeric() && duration.value == 0;
}

bool MediaTimeRange::containsTime(MediaTime time) const {
    if (!isValid() || !time.isValid() || time.isIndefinite()) {
        return false;
    }
    return compare(time, start) >= 0 && compare(time, end()) < 0;
}

bool operator==(const MediaTimeRange& a, const MediaTimeRange& b) {
    return compare(a.start, b.start) == 0 && compare(a.duration, b.duration) == 0;
}

} // namespace lento
