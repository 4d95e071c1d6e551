#include "edit/SectionArgument.h"

#include <gtest/gtest.h>

namespace lento {
namespace {

// What --section takes, exactly, and what it refuses.
TEST(SectionArgument, ReadsTimesExactlyAndRampsThatFitTheSection) {
    const MediaTime none = MediaTime::zero();
    const struct {
        const char* text;
        MediaTime start, end;
        const char* factor;
        bool mute;
        std::optional<MotionMode> motion;
        MediaTime rampIn, rampOut;
    } read[] = {
        {"2:4:3", MediaTime::make(2, 1), MediaTime::make(4, 1), "3", false, {}, none, none},
        {"0:0.00001:2", none, MediaTime::make(1, 100000), "2", false, {}, none, none},
        {".5:3.:2.5:mute",
         MediaTime::make(1, 2),
         MediaTime::make(3, 1),
         "2.5",
         true,
         {},
         none,
         none},
        {"1.1:2.2:4:smooth", MediaTime::make(11, 10), MediaTime::make(22, 10), "4", false,
         MotionMode::Smooth, none, none},
        {"1:3:2:mute:blend:ramp=0.5", MediaTime::make(1, 1), MediaTime::make(3, 1), "2", true,
         MotionMode::Blend, MediaTime::make(1, 2), MediaTime::make(1, 2)},
        {"1:3:2:ramp=0.25,1.75",
         MediaTime::make(1, 1),
         MediaTime::make(3, 1),
         "2",
         false,
         {},
         MediaTime::make(1, 4),
         MediaTime::make(7, 4)},
        {"1:3:2:hold:ramp=0,0.001", MediaTime::make(1, 1), MediaTime::make(3, 1), "2", false,
         MotionMode::Hold, none, MediaTime::make(1, 1000)},
    };
    for (const auto& c : read) {
        SCOPED_TRACE(c.text);
        const std::optional<SectionArgument> section = parseSectionArgument(c.text);
        ASSERT_TRUE(section);
        EXPECT_EQ(section->start, c.start);
        EXPECT_EQ(section->end, c.end);
        EXPECT_EQ(section->factor.text(), c.factor);
        EXPECT_EQ(section->mute, c.mute);
        EXPECT_EQ(section->motion, c.motion);
        EXPECT_EQ(section->rampIn, c.rampIn);
        EXPECT_EQ(section->rampOut, c.rampOut);
        EXPECT_FALSE(section->start.hasBeenRounded() || section->end.hasBeenRounded());
    }
    for (const char* refused : {"2:4",
                                "4:2:3",
                                "2:2:3",
                                "-1:2:3",
                                "1e0:2:3",
                                "2:4:0",
                                "2:4:10.01",
                                "2:4:3:loud",
                                "2:4:3:smooth:mute",
                                "2:4:3:ramp=1.5,0.6",
                                "2:4:3:ramp=2.1",
                                "2:4:3:ramp=-0.5",
                                "2:4:3:ramp=0.5,0.5,0.5",
                                "2:4:3:ramp=",
                                "2:4:3:ramp=0.5:mute",
                                "2:4:3:ramp=0.5:",
                                "2:4:3:",
                                "0.1234567891:2:3",
                                "99999999999999999999:100000000000000000000:2",
                                ":2:3",
                                ".:2:3"}) {
        EXPECT_FALSE(parseSectionArgument(refused)) << refused;
    }
}

} // namespace
} // namespace lento
