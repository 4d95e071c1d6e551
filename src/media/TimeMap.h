#pragma once

#include "media/MediaTime.h"
#include "media/SpeedFactor.h"

#include <optional>
#include <string>
#include <vector>

namespace lento {

// The retiming of a whole edit as one function from source time to output time, and back: what
// the pictures, the sound and playback all follow. Outside its sections the source plays at its
// own speed; a section plays `factor` times slower, and may ease into that factor over its ramp
// in and out of it over its ramp out (source lengths; zero changes the speed at once).
//
// Over a ramp of source length r from factor a to factor b, starting at source time t0, the
// factor is a + (b - a) s(x) with x = (t - t0) / r and s(x) = 3x^2 - 2x^3: smooth at both ends,
// and the ramp takes exactly r (a + b) / 2 of output time. A ramp in eases from the speed before
// the section (1, or the factor of a section that ends where it starts) to the section's factor;
// a ramp out eases back to the speed after it.
//
// Sections that touch make one transition, not two: the first's ramp out and the second's ramp
// in are one ramp from the first's factor to the second's over both of them together, from
// (first end - its ramp out) to (second start + its ramp in). Where only one of the two is set,
// that one alone carries the whole change; where neither is, the speed changes at the shared
// bound. (Two separate ramps, each through the speed of 1 or each from one factor to the other,
// would make the speed jump at the bound.)
//
// Exactness. Every bound of a piece is a MediaTime. Source bounds are the sections' own times
// with their ramps added or taken away (exact unless the two timescales' least common multiple
// passes MediaTime::kMaxTimescale: then MediaTime rounds and marks them). Output bounds are summed
// as exact rationals in 128-bit integers and given as MediaTimes, exact when their denominator in
// lowest terms is a timescale, else rounded to the nanosecond and marked. A time asked for is
// computed exactly, inside a ramp from the quartic above, and rounded once to the timescale asked
// for. Only where a 128-bit term would overflow is it computed in long double instead (a 64-bit
// mantissa: well below a nanosecond over hours) and marked rounded: x^4 inside a ramp needs the
// ramp's length in ticks below about 2^31 (hours at a source's timescale; 2 s at a timescale of
// 10^9), and bounds at many unrelated timescales can make denominators pass 2^125.
class TimeMap {
public:
    // One retimed stretch of the source.
    struct Section {
        MediaTime start;
        MediaTime end;
        SpeedFactor factor;
        MediaTime rampIn = MediaTime::zero();
        MediaTime rampOut = MediaTime::zero();
    };

    // A stretch of the source over which the factor is constant (from == to) or eases from one
    // value to the other along the ramp's curve. Each piece ends where the next begins.
    struct Piece {
        MediaTime sourceStart;
        MediaTime sourceEnd;
        MediaTime outputStart;
        MediaTime outputEnd;
        SpeedFactor from;
        SpeedFactor to;

        bool isRamp() const { return from != to; }
    };

    // Nothing retimed: every time maps to itself.
    TimeMap();
    ~TimeMap();
    TimeMap(const TimeMap&);
    TimeMap(TimeMap&&) noexcept;
    TimeMap& operator=(const TimeMap&);
    TimeMap& operator=(TimeMap&&) noexcept;

    // The map of a source lasting `sourceDuration` with `sections` retimed (in any order). Ramps
    // are first fitted to their sections (fitRamps). Nothing, with the reason in `error`, when a
    // time is not numeric, a section is empty, starts before 0, ends after the source or
    // overlaps another (touching is fine).
    static std::optional<TimeMap> make(std::vector<Section> sections, MediaTime sourceDuration,
                                       std::string& error);

    // The output time of a source time, rounded to the nearest tick of `timescale` (ties away
    // from zero) and marked rounded where that is not exact. Before 0 and after the source's end
    // time runs at the speed of 1: the map is defined everywhere. Invalid for a time that is not
    // numeric or a timescale that is not positive.
    MediaTime outputTime(MediaTime sourceTime, int32_t timescale) const;
    // The source time shown at an output time, rounded to the nearest tick of `timescale` (the
    // source's), the inverse of outputTime(). Inside a ramp the quartic is solved by Newton's
    // method from the linear guess, and the tick is then checked against the exact map.
    MediaTime sourceTime(MediaTime outputTime, int32_t timescale) const;
    // The factor at a source time (on a bound, the piece that starts there), as a double: for a
    // player's rate, 1 / factor.
    double factorAt(MediaTime sourceTime) const;

    // Sections whose map, made over this one's source, times [from, to] as this one does (its
    // output times there differ by a constant): those of the pieces that meet the stretch, with
    // a section at the factor a ramp eases from just before it. They cost the pieces there, not
    // the whole map's: for the sound of one stretch of a long edit.
    std::vector<Section> sectionsOver(MediaTime from, MediaTime to) const;

    // From source time 0 to the source's end, in order; empty for the map that retimes nothing.
    const std::vector<Piece>& pieces() const { return m_pieces; }
    bool hasRamps() const;
    MediaTime sourceDuration() const;
    // The length of the output: the output time of the source's end.
    MediaTime outputDuration() const;

    // A piece as exact rationals, for the arithmetic (defined in TimeMap.cpp).
    struct Span;

private:
    std::vector<Piece> m_pieces;
    std::vector<Span> m_spans; // one per piece, then the source's end onwards at the speed of 1
};

// Ramps fitted into a section of `length`: one that is not a positive number is none, and when
// the two together are longer than the section both are shortened in proportion so that
// together they fill it exactly.
struct Ramps {
    MediaTime in;
    MediaTime out;
};
Ramps fitRamps(MediaTime length, MediaTime in, MediaTime out);

} // namespace lento
