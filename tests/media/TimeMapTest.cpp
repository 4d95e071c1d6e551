#include "media/TimeMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace lento {
namespace {

constexpr int32_t kNano = 1'000'000'000;

MediaTime at(double seconds, int32_t timescale = 600) {
    return MediaTime::makeWithSeconds(seconds, timescale);
}

SpeedFactor factor(const char* text) {
    return *SpeedFactor::fromText(text);
}

// "2-3 1>3": the piece's source bounds in seconds and its factors, one of them when constant.
std::string piecesText(const TimeMap& map) {
    std::string text;
    for (const TimeMap::Piece& piece : map.pieces()) {
        char line[96];
        std::snprintf(line, sizeof line, "%s%g-%g %s", text.empty() ? "" : ", ",
                      piece.sourceStart.seconds(), piece.sourceEnd.seconds(),
                      (piece.from.text() + (piece.isRamp() ? ">" + piece.to.text() : "")).c_str());
        text += line;
    }
    return text;
}

// The output time of `t` inside `piece` by Simpson's rule, exact for the ramp's cubic factor.
long double integrated(const TimeMap::Piece& piece, long double t) {
    const long double s0 = piece.sourceStart.seconds(), r = piece.sourceEnd.seconds() - s0;
    const long double a = double(piece.from.num()) / double(piece.from.den());
    const long double b = double(piece.to.num()) / double(piece.to.den());
    const auto factorAt = [&](long double v) {
        const long double x = (v - s0) / r;
        return a + (b - a) * x * x * (3 - 2 * x);
    };
    return piece.outputStart.seconds() +
           (t - s0) / 6 * (factorAt(s0) + 4 * factorAt((s0 + t) / 2) + factorAt(t));
}

struct Case {
    const char* name;
    std::vector<TimeMap::Section> sections;
    const char* pieces;
    int32_t timescale = 600; // the source's ticks
};

// Each edit against the formula: its pieces, each ramp's length r (a + b) / 2, the time at many
// points against the integral of the factor, the factor itself, continuity across every bound,
// monotonicity, and the inverse back to the source's ticks.
TEST(TimeMap, FollowsTheRampFormulaAndItsInverse) {
    const MediaTime prime = MediaTime::make(1, 999'999'937);
    const Case cases[] = {
        {"one section with both ramps",
         {{at(2), at(6), factor("3"), at(1), at(0.5)}},
         "0-2 1, 2-3 1>3, 3-5.5 3, 5.5-6 3>1, 6-10 1"},
        {"touching sections with both ramps: one ramp over both, given in any order",
         {{at(3), at(5), factor("4"), at(0.25), at(1)}, {at(1), at(3), factor("2"), {}, at(0.5)}},
         "0-1 1, 1-2.5 2, 2.5-3.25 2>4, 3.25-4 4, 4-5 4>1, 5-10 1"},
        {"touching, only the second ramps in",
         {{at(1), at(3), factor("2")}, {at(3), at(5), factor("4"), at(1)}},
         "0-1 1, 1-3 2, 3-4 2>4, 4-5 4, 5-10 1"},
        {"touching, no ramps: an abrupt change",
         {{at(1), at(3), factor("2")}, {at(3), at(5), factor("4")}},
         "0-1 1, 1-3 2, 3-5 4, 5-10 1"},
        {"ramps filling their sections, at the start and at the end of the source",
         {{at(0), at(2), factor("2.5"), at(1), at(1)}, {at(8), at(10), factor("10"), at(2)}},
         "0-1 1>2.5, 1-2 2.5>1, 2-8 1, 8-10 1>10"},
        {"ramps longer than the section are fitted, a section of factor 1 changes nothing",
         {{at(1), at(2), factor("2"), at(3), at(1)}, {at(4), at(5), factor("1"), at(1)}},
         "0-1 1, 1-1.75 1>2, 1.75-2 2>1, 2-10 1"},
        {"frames of 30000/1001 fps, a typed ramp, a factor of two decimals",
         {{MediaTime::make(1001 * 30, 30000), MediaTime::make(1001 * 150, 30000), factor("9.99"),
           MediaTime::make(1500, 1000), MediaTime::make(1001 * 40, 30000)},
          {MediaTime::make(1001 * 150, 30000), MediaTime::make(1001 * 200, 30000), factor("1.25"),
           MediaTime::make(250, 1000)}},
         "0-1.001 1, 1.001-2.501 1>9.99, 2.501-3.67033 9.99, 3.67033-5.255 9.99>1.25, "
         "5.255-6.67333 1.25, 6.67333-10 1",
         30000},
        {"a timescale near 10^9: terms past 128 bits, computed in long double",
         {{prime * 1, prime * 999'999'937, factor("7/3"), at(0.3), at(0.7)}},
         "0-1e-09 1, 1e-09-0.3 1>7/3, 0.3-1 7/3>1, 1-10 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        const auto map = TimeMap::make(c.sections, at(10), error);
        ASSERT_TRUE(map) << error;
        EXPECT_EQ(piecesText(*map), c.pieces);
        ASSERT_FALSE(map->pieces().empty());
        EXPECT_EQ(map->sourceDuration(), at(10));

        // Exact, unless the map says it rounded (to the nanosecond).
        const auto same = [](MediaTime a, MediaTime b) {
            return a.hasBeenRounded() || b.hasBeenRounded() ? std::fabs((a - b).seconds()) <= 2e-9
                                                            : a == b;
        };
        MediaTime output = MediaTime::zero();
        double fastest = 1;
        for (const TimeMap::Piece& piece : map->pieces()) {
            // r * (a + b) / 2, or r * a when constant, exactly.
            const int64_t num =
                piece.from.num() * piece.to.den() + piece.to.num() * piece.from.den();
            const SpeedFactor mean = *SpeedFactor::make(num, 2 * piece.from.den() * piece.to.den());
            EXPECT_TRUE(same(piece.outputStart, output)) << piece.sourceStart.seconds();
            output = output + mean.stretch(piece.sourceEnd - piece.sourceStart);
            EXPECT_TRUE(same(piece.outputEnd, output)) << piece.sourceStart.seconds();
            fastest = std::max({fastest, map->factorAt(piece.sourceStart),
                                double(piece.to.num()) / double(piece.to.den())});
        }
        EXPECT_TRUE(same(map->outputDuration(), output));

        MediaTime previous = MediaTime::negativeInfinity();
        for (int i = -20; i <= 1020; ++i) {
            const MediaTime t = MediaTime::make(i, 100) + MediaTime::make(i % 7, 3000);
            const MediaTime out = map->outputTime(t, kNano);
            ASSERT_GT(out, previous) << t.seconds();
            previous = out;
            if (t < MediaTime::zero()) {
                EXPECT_EQ(out, t.convertScale(kNano));
                continue;
            }
            const auto& pieces = map->pieces();
            auto piece = std::find_if(pieces.rbegin(), pieces.rend(),
                                      [&](const auto& p) { return p.sourceStart <= t; });
            const long double expected = t >= at(10) ? output.seconds() + (t.seconds() - 10)
                                                     : integrated(*piece, t.seconds());
            EXPECT_NEAR(out.seconds(), expected, 2e-9) << t.seconds();
            if (t < at(10)) {
                const long double x = (t.seconds() - piece->sourceStart.seconds()) /
                                      (piece->sourceEnd.seconds() - piece->sourceStart.seconds());
                const long double a = double(piece->from.num()) / double(piece->from.den());
                const long double b = double(piece->to.num()) / double(piece->to.den());
                EXPECT_NEAR(map->factorAt(t), a + (b - a) * (3 * x * x - 2 * x * x * x), 1e-9);
            }
        }

        // Across every bound the time goes on; the factor too, except at an abrupt change.
        const MediaTime epsilon = MediaTime::make(1, 600'000);
        for (size_t i = 1; i < map->pieces().size(); ++i) {
            const MediaTime bound = map->pieces()[i].sourceStart;
            SCOPED_TRACE(bound.seconds());
            const MediaTime before = map->outputTime(bound - epsilon, kNano);
            const MediaTime after = map->outputTime(bound + epsilon, kNano);
            EXPECT_LE((after - before).seconds(), 2 * epsilon.seconds() * fastest + 4e-9);
            EXPECT_EQ(map->outputTime(bound, kNano),
                      map->pieces()[i].outputStart.convertScale(kNano));
            if (map->pieces()[i - 1].to == map->pieces()[i].from) {
                EXPECT_NEAR(map->factorAt(bound - epsilon), map->factorAt(bound + epsilon), 1e-6);
            }
        }

        // Every source tick comes back from its output time; every output time goes to the tick
        // whose half-ticks either side map around it.
        const int32_t ticks = c.timescale;
        for (int64_t i = -3; i <= 10 * ticks + 3; i += (i % 97 == 0 ? 1 : 13)) {
            const MediaTime t = MediaTime::make(i, ticks);
            ASSERT_EQ(map->sourceTime(map->outputTime(t, kNano), ticks), t) << t.seconds();
        }
        const MediaTime half = MediaTime::make(1, 2 * ticks);
        MediaTime last = MediaTime::negativeInfinity();
        for (int64_t k = 0; k <= int64_t(output.seconds() * 24) + 24; ++k) {
            const MediaTime o = MediaTime::make(k, 24);
            const MediaTime t = map->sourceTime(o, ticks);
            ASSERT_EQ(t.timescale, ticks);
            ASSERT_GE(t, last);
            last = t;
            const MediaTime slack = MediaTime::make(2, kNano);
            EXPECT_LE(map->outputTime(t - half, kNano), o + slack) << o.seconds();
            EXPECT_GE(map->outputTime(t + half, kNano) + slack, o) << o.seconds();
        }

        // A stretch's map, made from the sections over it alone, times it as the whole does
        // (from its own start) with no more pieces than meet it and three more.
        for (const auto& stretch :
             {std::pair{at(0), at(10)}, {at(1.5), at(4.2)}, {at(3.1), at(3.2)}, {at(5.3), at(9)}}) {
            const MediaTime from = stretch.first; // named, as lambdas below take them
            const MediaTime to = stretch.second;
            SCOPED_TRACE(from.seconds());
            std::string partError;
            const auto part = TimeMap::make(map->sectionsOver(from, to), at(10), partError);
            ASSERT_TRUE(part) << partError;
            const auto meeting =
                std::count_if(map->pieces().begin(), map->pieces().end(), [&](const auto& p) {
                    return p.sourceEnd > from && p.sourceStart < to;
                });
            EXPECT_LE(part->pieces().size(), size_t(meeting) + 3);
            for (int i = 0; i <= 50; ++i) {
                const MediaTime t =
                    from + scaleTime(to - from, MediaTime::make(i, 1), MediaTime::make(50, 1));
                const auto along = [&](const TimeMap& m) {
                    return (m.outputTime(t, kNano) - m.outputTime(from, kNano)).seconds();
                };
                EXPECT_NEAR(along(*part), along(*map), 4e-9) << t.seconds();
            }
        }
    }
}

// Inside a ramp the time is exact where the timescale holds it: 1 s from 1 to 3 at x = 1/3
// gives 2 + 1/3 + 2 (1/27 - 1/162) = 194/81 s; and back.
TEST(TimeMap, IsExactInsideARamp) {
    std::string error;
    const auto map = TimeMap::make({{at(2), at(6), factor("3"), at(1), at(0.5)}}, at(10), error);
    ASSERT_TRUE(map) << error;
    const MediaTime inside = MediaTime::make(7, 3);
    const MediaTime out = map->outputTime(inside, 81);
    EXPECT_EQ(out.value, 194);
    EXPECT_FALSE(out.hasBeenRounded());
    EXPECT_TRUE(map->outputTime(inside, 80).hasBeenRounded());
    const MediaTime back = map->sourceTime(out, 3);
    EXPECT_EQ(back.value, 7);
    EXPECT_FALSE(back.hasBeenRounded());
    EXPECT_TRUE(map->sourceTime(out + MediaTime::make(1, 1000), 3).hasBeenRounded());
}

// What the map is not given to mend, and the ramps it fits to their sections.
TEST(TimeMap, RefusesSectionsItCannotMapAndFitsRamps) {
    const struct {
        const char* name;
        std::vector<TimeMap::Section> sections;
        const char* says;
    } refused[] = {
        {"overlap", {{at(1), at(3), factor("2")}, {at(2), at(4), factor("2")}}, "overlap"},
        {"past the end", {{at(9), at(11), factor("2")}}, "is not within the source"},
        {"before the start", {{at(-1), at(1), factor("2")}}, "is not within the source"},
        {"empty", {{at(1), at(1), factor("2")}}, "is empty"},
        {"invalid", {{MediaTime::invalid(), at(1), factor("2")}}, "is empty"},
    };
    for (const auto& c : refused) {
        std::string error;
        EXPECT_FALSE(TimeMap::make(c.sections, at(10), error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    }

    const struct {
        MediaTime length, in, out, fittedIn, fittedOut;
    } fits[] = {
        {at(4), at(1), at(2), at(1), at(2)},
        {at(4), at(3), at(1), at(3), at(1)},
        {at(1), at(1), at(1), at(0.5), at(0.5)},
        {at(1), at(3), at(1), at(0.75), at(0.25)},
        {at(1), at(-1), MediaTime::invalid(), at(0), at(0)},
        {at(0), at(1), at(1), at(0), at(0)},
        {MediaTime::make(1, 3), MediaTime::make(1, 2), MediaTime::make(1, 2), MediaTime::make(1, 6),
         MediaTime::make(1, 6)},
    };
    for (const auto& fit : fits) {
        const Ramps ramps = fitRamps(fit.length, fit.in, fit.out);
        EXPECT_EQ(ramps.in, fit.fittedIn) << fit.length.seconds() << " " << fit.in.seconds();
        EXPECT_EQ(ramps.out, fit.fittedOut) << fit.length.seconds() << " " << fit.out.seconds();
        EXPECT_FALSE(ramps.in.hasBeenRounded() || ramps.out.hasBeenRounded());
    }

    // Nothing retimed: the identity everywhere, also past the source's end.
    std::string error;
    const auto plain = TimeMap::make({}, at(10), error);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->hasRamps());
    for (const TimeMap& map : {*plain, TimeMap()}) {
        EXPECT_EQ(map.outputTime(MediaTime::make(1001, 30000), 30000),
                  MediaTime::make(1001, 30000));
        EXPECT_EQ(map.sourceTime(at(12), 600), at(12));
        EXPECT_EQ(map.factorAt(at(3)), 1.0);
    }
}

} // namespace
} // namespace lento
