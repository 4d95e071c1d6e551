#include "media/TimeMap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <utility>

namespace lento {

namespace {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// Exact terms stay below 2^125, so that the product of two terms checked to fit in 126 bits and
// the sum of two such products both fit in a signed 128-bit integer.
constexpr int kExactBits = 125;
constexpr int kProductBits = 126;

UInt128 magnitude(Int128 v) {
    return v < 0 ? UInt128(0) - UInt128(v) : UInt128(v);
}

int bitWidth(UInt128 v) {
    const auto high = static_cast<uint64_t>(v >> 64);
    if (high != 0) {
        return 128 - __builtin_clzll(high);
    }
    const auto low = static_cast<uint64_t>(v);
    return low == 0 ? 0 : 64 - __builtin_clzll(low);
}

int bitWidth(Int128 v) {
    return bitWidth(magnitude(v));
}

bool productFits(Int128 a, Int128 b) {
    return bitWidth(a) + bitWidth(b) <= kProductBits;
}

int trailingZeros(UInt128 v) {
    const auto low = static_cast<uint64_t>(v);
    return low != 0 ? __builtin_ctzll(low) : 64 + __builtin_ctzll(static_cast<uint64_t>(v >> 64));
}

// Binary: 128-bit division is slow, and most terms here fit in 64 bits anyway.
UInt128 greatestCommonDivisor(UInt128 a, UInt128 b) {
    if ((a >> 64) == 0 && (b >> 64) == 0) {
        return std::gcd(static_cast<uint64_t>(a), static_cast<uint64_t>(b));
    }
    if (a == 0 || b == 0) {
        return a | b;
    }
    const int shift = trailingZeros(a | b);
    a >>= trailingZeros(a);
    do {
        b >>= trailingZeros(b);
        if (a > b) {
            std::swap(a, b);
        }
        b -= a;
    } while (b != 0);
    return a << shift;
}

bool fitsInt64(Int128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

MediaTime roundedTime(int64_t value, int32_t timescale, bool rounded) {
    MediaTime time = MediaTime::make(value, timescale);
    if (rounded) {
        time.flags |= MediaTime::HasBeenRounded;
    }
    return time;
}

// A number held exactly, as a fraction of 128-bit integers, for as long as its terms fit; from
// the first step that would overflow them, as a long double. Terms are brought to lowest terms
// only once they pass 64 bits: below that the division would cost more than it saves.
class Number {
public:
    Number() = default;

    // num / den, den not zero.
    static Number ratio(Int128 num, Int128 den) {
        if (den < 0) {
            num = -num;
            den = -den;
        }
        return settled(num, den);
    }
    static Number approximately(long double value) {
        Number number;
        number.m_den = 0;
        number.m_approx = value;
        return number;
    }
    // A numeric time (the epoch aside), a factor.
    static Number of(MediaTime time) { return terms(time.value, time.timescale); }
    static Number of(SpeedFactor factor) { return terms(factor.num(), factor.den()); }

    bool isExact() const { return m_den != 0; }
    long double value() const {
        return isExact() ? static_cast<long double>(m_num) / static_cast<long double>(m_den)
                         : m_approx;
    }

    Number operator-() const { return isExact() ? terms(-m_num, m_den) : approximately(-m_approx); }

    friend Number operator+(const Number& a, const Number& b) {
        if (!a.isExact() || !b.isExact()) {
            return approximately(a.value() + b.value());
        }
        if (a.m_den == b.m_den) {
            return settled(a.m_num + b.m_num, a.m_den);
        }
        const auto divisor = static_cast<Int128>(greatestCommonDivisor(a.m_den, b.m_den));
        const Int128 aScale = b.m_den / divisor;
        const Int128 bScale = a.m_den / divisor;
        if (!productFits(a.m_num, aScale) || !productFits(b.m_num, bScale) ||
            !productFits(a.m_den, aScale)) {
            return a.isLowest() && b.isLowest() ? approximately(a.value() + b.value())
                                                : a.lowest() + b.lowest();
        }
        return settled(a.m_num * aScale + b.m_num * bScale, a.m_den * aScale);
    }
    friend Number operator-(const Number& a, const Number& b) { return a + -b; }

    friend Number operator*(const Number& a, const Number& b) {
        if (!a.isExact() || !b.isExact()) {
            return approximately(a.value() * b.value());
        }
        if (productFits(a.m_num, b.m_num) && productFits(a.m_den, b.m_den)) {
            return settled(a.m_num * b.m_num, a.m_den * b.m_den);
        }
        // Cross-reduced first: the product may fit once common factors are gone.
        const auto ad = static_cast<Int128>(greatestCommonDivisor(magnitude(a.m_num), b.m_den));
        const auto bd = static_cast<Int128>(greatestCommonDivisor(magnitude(b.m_num), a.m_den));
        const Int128 an = a.m_num / ad, bn = b.m_num / bd;
        const Int128 aDen = a.m_den / bd, bDen = b.m_den / ad;
        if (!productFits(an, bn) || !productFits(aDen, bDen)) {
            return a.isLowest() && b.isLowest() ? approximately(a.value() * b.value())
                                                : a.lowest() * b.lowest();
        }
        return settled(an * bn, aDen * bDen);
    }
    // `b` not zero.
    friend Number operator/(const Number& a, const Number& b) {
        if (!b.isExact()) {
            return approximately(a.value() / b.value());
        }
        return a * (b.m_num < 0 ? terms(-b.m_den, -b.m_num) : terms(b.m_den, b.m_num));
    }

    friend int compare(const Number& a, const Number& b) {
        if (a.isExact() && b.isExact() && productFits(a.m_num, b.m_den) &&
            productFits(b.m_num, a.m_den)) {
            const Int128 left = a.m_num * b.m_den;
            const Int128 right = b.m_num * a.m_den;
            return left < right ? -1 : (left > right ? 1 : 0);
        }
        const long double left = a.value(), right = b.value();
        return left < right ? -1 : (left > right ? 1 : 0);
    }
    friend bool operator<(const Number& a, const Number& b) { return compare(a, b) < 0; }
    friend bool operator<=(const Number& a, const Number& b) { return compare(a, b) <= 0; }

    // The nearest tick of `timescale` (ties away from zero), marked rounded unless exact; past
    // the 64-bit range, the infinity of its sign.
    MediaTime atTimescale(int32_t timescale) const {
        if (isExact()) {
            // Whole part and fraction apart: the whole part times the timescale is exact, and
            // the fraction times it is exact while it fits.
            const Int128 whole = m_num / m_den;
            const Int128 rest = m_num % m_den;
            if (productFits(whole, timescale)) {
                Int128 ticks = whole * timescale;
                bool rounded = false;
                if (productFits(rest, timescale)) {
                    const Int128 scaled = rest * timescale;
                    Int128 part = scaled / m_den;
                    const UInt128 left = magnitude(scaled % m_den);
                    if (left >= UInt128(m_den) - left) {
                        part += scaled < 0 ? -1 : 1;
                    }
                    ticks += part;
                    rounded = left != 0;
                } else {
                    ticks += static_cast<Int128>(std::llround(static_cast<long double>(rest) /
                                                              static_cast<long double>(m_den) *
                                                              timescale));
                    rounded = true;
                }
                if (fitsInt64(ticks)) {
                    return roundedTime(static_cast<int64_t>(ticks), timescale, rounded);
                }
                return infinity(ticks > 0);
            }
        }
        const long double ticks = std::round(value() * timescale);
        if (!(std::fabs(ticks) < 0x1p63L)) {
            return infinity(ticks > 0);
        }
        return roundedTime(static_cast<int64_t>(ticks), timescale, true);
    }
    // Exactly, at its denominator in lowest terms, where that is a timescale; else to the
    // nanosecond.
    MediaTime asTime() const {
        const Number number = lowest();
        if (number.isExact() && number.m_den <= MediaTime::kMaxTimescale &&
            fitsInt64(number.m_num)) {
            return MediaTime::make(static_cast<int64_t>(number.m_num),
                                   static_cast<int32_t>(number.m_den));
        }
        return atTimescale(MediaTime::kMaxTimescale);
    }

private:
    Number lowest() const {
        if (!isExact()) {
            return *this;
        }
        const auto divisor = static_cast<Int128>(greatestCommonDivisor(magnitude(m_num), m_den));
        return terms(m_num / divisor, m_den / divisor);
    }
    bool isLowest() const {
        return !isExact() || greatestCommonDivisor(magnitude(m_num), m_den) == 1;
    }

    // The terms as they are, den positive.
    static Number terms(Int128 num, Int128 den) {
        Number number;
        number.m_num = num;
        number.m_den = den;
        return number;
    }
    // The terms, in lowest terms once either passes 64 bits, as a long double once they still
    // pass kExactBits. den positive.
    static Number settled(Int128 num, Int128 den) {
        if (bitWidth(num) <= 64 && bitWidth(den) <= 64) {
            return terms(num, den);
        }
        const auto divisor = static_cast<Int128>(greatestCommonDivisor(magnitude(num), den));
        num /= divisor;
        den /= divisor;
        if (bitWidth(num) > kExactBits || bitWidth(den) > kExactBits) {
            return approximately(static_cast<long double>(num) / static_cast<long double>(den));
        }
        return terms(num, den);
    }
    static MediaTime infinity(bool positive) {
        MediaTime time = positive ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
        time.flags |= MediaTime::HasBeenRounded;
        return time;
    }

    union {
        Int128 m_num = 0;
        long double m_approx; // once m_den is 0
    };
    Int128 m_den = 1; // positive while exact
};

std::string secondsText(MediaTime time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", time.seconds());
    return text;
}

} // namespace

// A piece as exact rationals. Over a ramp, the output time at u = t - sourceStart is
//   outputStart + from u + bend (x^3 - x^4 / 2),   x = u / length, bend = (to - from) length,
// the integral of the factor from + (to - from)(3x^2 - 2x^3).
struct TimeMap::Span {
    Number sourceStart;
    Number outputStart;
    Number length;
    Number bend;
    SpeedFactor from;
    SpeedFactor to;

    bool isRamp() const { return from != to; }

    Number outputAt(const Number& sourceTime) const {
        const Number u = sourceTime - sourceStart;
        if (!isRamp()) {
            return outputStart + Number::of(from) * u;
        }
        const Number x = u / length;
        const Number cube = x * x * x;
        return outputStart + Number::of(from) * u + bend * (cube - cube * x * Number::ratio(1, 2));
    }
};

namespace {

using Span = TimeMap::Span;

// The span whose source stretch holds `time`: the last starting at or before it (the first
// when none does).
size_t spanOfSource(const std::vector<Span>& spans, const Number& time) {
    const auto after =
        std::upper_bound(spans.begin(), spans.end(), time,
                         [](const Number& t, const Span& span) { return t < span.sourceStart; });
    return after == spans.begin() ? 0 : static_cast<size_t>(after - spans.begin()) - 1;
}

size_t spanOfOutput(const std::vector<Span>& spans, const Number& time) {
    const auto after =
        std::upper_bound(spans.begin(), spans.end(), time,
                         [](const Number& t, const Span& span) { return t < span.outputStart; });
    return after == spans.begin() ? 0 : static_cast<size_t>(after - spans.begin()) - 1;
}

// The whole map at an exact source time: the spans from their first start on (the last runs on
// at the speed of 1 past the source's end), the speed of 1 before them.
Number outputAt(const std::vector<Span>& spans, const Number& time) {
    if (spans.empty() || time < spans.front().sourceStart) {
        return time;
    }
    return spans[spanOfSource(spans, time)].outputAt(time);
}

// u in [0, length] where the ramp's output offset is `offset`: Newton's method on the quartic,
// from the guess that the ramp ran at its mean factor throughout. The factor, the derivative,
// is at least the smaller of the two, so every step is defined; the curve bends one way over
// the whole ramp, so the steps close in from one side after the first.
long double solveRamp(const Span& span, long double offset) {
    const long double a = Number::of(span.from).value(), b = Number::of(span.to).value();
    const long double r = span.length.value();
    long double x = std::clamp(offset / (r * (a + b) / 2), 0.0L, 1.0L);
    for (int step = 0; step < 64; ++step) {
        const long double x2 = x * x;
        const long double value = r * (a * x + (b - a) * (x2 * x - x2 * x2 / 2)) - offset;
        const long double slope = r * (a + (b - a) * (3 * x2 - 2 * x2 * x));
        const long double next = std::clamp(x - value / slope, 0.0L, 1.0L);
        const long double moved = std::fabs(next - x);
        x = next;
        if (moved <= 4 * std::numeric_limits<long double>::epsilon()) {
            break;
        }
    }
    return x * r;
}

} // namespace

TimeMap::TimeMap() = default;
TimeMap::~TimeMap() = default;
TimeMap::TimeMap(const TimeMap&) = default;
TimeMap::TimeMap(TimeMap&&) noexcept = default;
TimeMap& TimeMap::operator=(const TimeMap&) = default;
TimeMap& TimeMap::operator=(TimeMap&&) noexcept = default;

std::optional<TimeMap> TimeMap::make(std::vector<Section> sections, MediaTime sourceDuration,
                                     std::string& error) {
    const MediaTime zero = MediaTime::zero();
    if (!sourceDuration.isNumeric() || sourceDuration < zero) {
        error = "the source has no length";
        return std::nullopt;
    }
    for (const Section& section : sections) {
        const auto where = [&] {
            return "the section from " + secondsText(section.start) + " to " +
                   secondsText(section.end);
        };
        if (!section.start.isNumeric() || !section.end.isNumeric() ||
            section.end <= section.start) {
            error = where() + " is empty";
            return std::nullopt;
        }
        if (section.start < zero || section.end > sourceDuration) {
            error = where() + " is not within the source (" + secondsText(sourceDuration) + ")";
            return std::nullopt;
        }
    }
    std::sort(sections.begin(), sections.end(),
              [](const Section& a, const Section& b) { return a.start < b.start; });
    for (size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].start < sections[i - 1].end) {
            error = "the sections from " + secondsText(sections[i - 1].start) + " and from " +
                    secondsText(sections[i].start) + " overlap";
            return std::nullopt;
        }
    }

    TimeMap map;
    map.m_pieces.reserve(4 * sections.size() + 1);
    MediaTime cursor = zero;
    // Adds the piece from the cursor to `end`; a constant one that goes on at the factor of the
    // one before lengthens it.
    const auto addPiece = [&](MediaTime end, SpeedFactor from, SpeedFactor to) {
        if (end <= cursor) {
            return;
        }
        if (from == to && !map.m_pieces.empty() && !map.m_pieces.back().isRamp() &&
            map.m_pieces.back().to == from) {
            map.m_pieces.back().sourceEnd = end;
        } else {
            map.m_pieces.push_back({cursor, end, {}, {}, from, to});
        }
        cursor = end;
    };
    const SpeedFactor normal;
    for (size_t i = 0; i < sections.size(); ++i) {
        Section& section = sections[i];
        const Ramps ramps = fitRamps(section.end - section.start, section.rampIn, section.rampOut);
        section.rampIn = ramps.in;
        section.rampOut = ramps.out;
        // Touching the section before: its ramp out and this ramp in are one ramp, from the
        // cursor left where its ramp out begins.
        const bool joined = i > 0 && sections[i - 1].end == section.start;
        if (!joined) {
            addPiece(section.start, normal, normal);
        }
        addPiece(section.start + section.rampIn, joined ? sections[i - 1].factor : normal,
                 section.factor);
        addPiece(section.end - section.rampOut, section.factor, section.factor);
        if (i + 1 == sections.size() || sections[i + 1].start != section.end) {
            addPiece(section.end, section.factor, normal);
        }
    }
    addPiece(sourceDuration, normal, normal);

    Number output;
    MediaTime end = zero; // output as a MediaTime
    map.m_spans.reserve(map.m_pieces.size() + 1);
    for (Piece& piece : map.m_pieces) {
        Span span;
        span.sourceStart = Number::of(piece.sourceStart);
        span.outputStart = output;
        span.length = Number::of(piece.sourceEnd) - span.sourceStart;
        span.from = piece.from;
        span.to = piece.to;
        const Number from = Number::of(piece.from);
        if (span.isRamp()) {
            const Number to = Number::of(piece.to);
            span.bend = (to - from) * span.length;
            output = output + span.length * (from + to) * Number::ratio(1, 2);
        } else {
            output = output + span.length * from;
        }
        piece.outputStart = end;
        piece.outputEnd = end = output.asTime();
        map.m_spans.push_back(span);
    }
    // Past the source's end, the speed of 1.
    Span after;
    after.sourceStart = Number::of(sourceDuration);
    after.outputStart = output;
    map.m_spans.push_back(after);
    return map;
}

MediaTime TimeMap::outputTime(MediaTime sourceTime, int32_t timescale) const {
    if (!sourceTime.isNumeric() || timescale <= 0) {
        return MediaTime::invalid();
    }
    return outputAt(m_spans, Number::of(sourceTime)).atTimescale(timescale);
}

MediaTime TimeMap::sourceTime(MediaTime outputTime, int32_t timescale) const {
    if (!outputTime.isNumeric() || timescale <= 0) {
        return MediaTime::invalid();
    }
    const Number time = Number::of(outputTime);
    if (m_spans.empty() || time < m_spans.front().outputStart) {
        return time.atTimescale(timescale);
    }
    const Span& span = m_spans[spanOfOutput(m_spans, time)];
    if (!span.isRamp()) {
        return (span.sourceStart + (time - span.outputStart) / Number::of(span.from))
            .atTimescale(timescale);
    }

    // The tick nearest the root: the one whose half-ticks either side map around the time.
    const long double root =
        span.sourceStart.value() + solveRamp(span, (time - span.outputStart).value());
    if (!(std::fabs(root * timescale) < 0x1p62L)) {
        return Number::approximately(root).atTimescale(timescale);
    }
    auto tick = static_cast<int64_t>(std::llround(root * timescale));
    const auto mapped = [&](int64_t halfTicks) {
        return outputAt(m_spans, Number::ratio(halfTicks, Int128(2) * timescale));
    };
    // Newton's root is within a tick of the true one; the bounds only guard the loops.
    for (int step = 0; step < 64 && time < mapped(2 * tick - 1); ++step) {
        --tick;
    }
    for (int step = 0; step < 64 && mapped(2 * tick + 1) <= time; ++step) {
        ++tick;
    }
    const bool exact = compare(outputAt(m_spans, Number::ratio(tick, timescale)), time) == 0;
    return roundedTime(tick, timescale, !exact);
}

double TimeMap::factorAt(MediaTime sourceTime) const {
    if (!sourceTime.isNumeric() || m_spans.empty()) {
        return 1.0;
    }
    const Number time = Number::of(sourceTime);
    if (time < m_spans.front().sourceStart) {
        return 1.0;
    }
    const Span& span = m_spans[spanOfSource(m_spans, time)];
    const auto a = static_cast<double>(Number::of(span.from).value());
    if (!span.isRamp()) {
        return a;
    }
    const auto x = static_cast<double>(((time - span.sourceStart) / span.length).value());
    return a + (static_cast<double>(Number::of(span.to).value()) - a) * x * x * (3 - 2 * x);
}

std::vector<TimeMap::Section> TimeMap::sectionsOver(MediaTime from, MediaTime to) const {
    std::vector<Section> sections;
    auto piece =
        std::upper_bound(m_pieces.begin(), m_pieces.end(), from,
                         [](MediaTime time, const Piece& p) { return time < p.sourceEnd; });
    for (; piece != m_pieces.end() && piece->sourceStart < to; ++piece) {
        if (!piece->isRamp()) {
            if (!piece->from.isOne()) {
                sections.push_back({piece->sourceStart, piece->sourceEnd, piece->from});
            }
            continue;
        }
        // A ramp is a section eased into over its whole length, from the factor of a section
        // that ends where it starts (the one before it, or one made for it) or from 1.
        const bool follows = !sections.empty() && sections.back().end == piece->sourceStart;
        if (!follows && !piece->from.isOne() && piece != m_pieces.begin()) {
            sections.push_back({std::prev(piece)->sourceStart, piece->sourceStart, piece->from});
        }
        sections.push_back({piece->sourceStart, piece->sourceEnd, piece->to,
                            piece->sourceEnd - piece->sourceStart});
    }
    return sections;
}

bool TimeMap::hasRamps() const {
    return std::any_of(m_pieces.begin(), m_pieces.end(),
                       [](const Piece& piece) { return piece.isRamp(); });
}

MediaTime TimeMap::sourceDuration() const {
    return m_pieces.empty() ? MediaTime::zero() : m_pieces.back().sourceEnd;
}

MediaTime TimeMap::outputDuration() const {
    return m_pieces.empty() ? MediaTime::zero() : m_pieces.back().outputEnd;
}

Ramps fitRamps(MediaTime length, MediaTime in, MediaTime out) {
    const MediaTime none = MediaTime::zero();
    const auto positive = [&](MediaTime time) { return time.isNumeric() && time > none; };
    if (!positive(length)) {
        return {none, none};
    }
    in = positive(in) ? in : none;
    out = positive(out) ? out : none;
    const Number whole = Number::of(length), first = Number::of(in), second = Number::of(out);
    if (first + second <= whole) {
        return {in, out};
    }
    const MediaTime shorterIn = minTime((first * whole / (first + second)).asTime(), length);
    return {shorterIn, minTime(out, (whole - Number::of(shorterIn)).asTime())};
}

} // namespace lento
