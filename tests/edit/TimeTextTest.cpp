#include "edit/TimeText.h"

#include <gtest/gtest.h>

#include <vector>

namespace lento {
namespace {

TEST(TimeText, DropsTheFractionTowardMinusInfinityAndWrapsAtADay) {
    EXPECT_EQ(timeText(MediaTime::make(37259, 10)), "01:02:05");
    EXPECT_EQ(timeText(MediaTime::invalid()), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::make(-1, 2)), "23:59:59");
    EXPECT_EQ(timeText(MediaTime::make(86400, 1)), "00:00:00");
    EXPECT_EQ(timeText(MediaTime::make(int64_t{86400} * 400 + 3725, 1)), "01:02:05");
}

// A typed bound lands on the tick nearest to what was typed, exactly: summed as double seconds,
// 1:00:00.0005 would fall just short of its half tick. A ramp on the nearest millisecond.
TEST(TimeText, TypedBoundsAndRampsLandOnTheNearestTickExactly) {
    struct Case {
        const char* text;
        int32_t timescale;
        MediaTime parsed;
    };
    const MediaTime invalid = MediaTime::invalid();
    const std::vector<Case> cases{
        {"00:00:04.967", 600, MediaTime::make(2980, 600)},
        {"1:00:00.0005", 1000, MediaTime::make(3600001, 1000)},
        {"0.00049", 1000, MediaTime::make(0, 1000)},
        {" 2:3.5 ", 30, MediaTime::make(3705, 30)},
        {"90", 1, MediaTime::make(90, 1)},
        {"5.", 600, MediaTime::make(3000, 600)},
        {"10.123456789123456789123456789", 1000000000, MediaTime::make(10123456789, 1000000000)},
        {"0.99999999999", 1000, MediaTime::make(1000, 1000)},
        {"1:2:3:4", 600, invalid},
        {"-1", 600, invalid},
        {"1e3", 600, invalid},
        {"", 600, invalid},
        {"4.5", 0, invalid},
        {"2562047:47:16.854775808", 1000000000, invalid}, // one tick past the 64-bit range
        {"2562047:47:16.854775", 1000000, MediaTime::make(9223372036854775, 1000000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const MediaTime parsed = parseBoundText(QString::fromLatin1(c.text), c.timescale);
        EXPECT_EQ(parsed.isValid(), c.parsed.isValid());
        if (c.parsed.isValid()) {
            EXPECT_EQ(parsed.value, c.parsed.value);
            EXPECT_EQ(parsed.timescale, c.parsed.timescale);
        }
    }
    // What the fields show reads back as the same time.
    const MediaTime shown = MediaTime::make(7453967, 1000);
    EXPECT_EQ(parseBoundText(timeTextWithMilliseconds(shown), 1000), shown);

    // Ramps: typed or chosen, in milliseconds; -1 for text that is not a ramp. What the chooser
    // shows reads back as the same length.
    const std::vector<std::pair<const char*, int64_t>> ramps{
        {"None", 0},      {"", 0},         {"0.25 s", 250}, {".5s", 500},    {"2", 2000},
        {"1.0005", 1001}, {"350 ms", 350}, {"0.4MS", 0},    {"-0.5", -1},    {"1:00", -1},
        {"1e3", -1},      {".", -1},       {"s", -1},       {"0.5 sec", -1},
    };
    for (const auto& [text, milliseconds] : ramps) {
        SCOPED_TRACE(text);
        const MediaTime parsed = parseRampText(QString::fromLatin1(text));
        EXPECT_EQ(parsed.isValid() ? parsed.convertScale(1000).value : -1, milliseconds);
        EXPECT_TRUE(!parsed.isValid() || parseRampText(rampLengthText(parsed)) == parsed);
    }
    EXPECT_EQ(rampLengthText(MediaTime::make(1, 3)), "0.333 s");
}

} // namespace
} // namespace lento
