#include "edit/SectionArgument.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace lento {
namespace {

// What --section takes, exactly, and what it refuses.
TEST(SectionArgument, ReadsTimesExactlyAndRampsThatFitTheSection) {
    const auto t = [](int64_t value, int32_t timescale = 1) {
        return MediaTime::make(value, timescale);
    };
    const MediaTime none = MediaTime::zero();
    const MotionMode smooth = MotionMode::Smooth, blend = MotionMode::Blend;
    const struct {
        const char* text;
        MediaTime start, end;
        const char* factor;
        bool mute;
        std::optional<MotionMode> motion;
        MediaTime rampIn, rampOut;
    } read[] = {
        {"2:4:3", t(2), t(4), "3", false, {}, none, none},
        {"0:0.00001:2", none, t(1, 100000), "2", false, {}, none, none},
        {".5:3.:2.5:mute", t(1, 2), t(3), "2.5", true, {}, none, none},
        {"1.1:2.2:4:smooth", t(11, 10), t(22, 10), "4", false, smooth, none, none},
        {"1:3:2:mute:blend:ramp=0.5", t(1), t(3), "2", true, blend, t(1, 2), t(1, 2)},
        {"1:3:2:ramp=0.25,1.75", t(1), t(3), "2", false, {}, t(1, 4), t(7, 4)},
        {"1:3:2:hold:ramp=0,0.001", t(1), t(3), "2", false, MotionMode::Hold, none, t(1, 1000)},
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
    // Refused, one text a word: bounds, factors, options and ramps that do not fit, and numbers
    // that are no decimal seconds.
    for (const QString& text :
         QStringLiteral(
             "2:4 4:2:3 2:2:3 -1:2:3 1e0:2:3 2:4:0 2:4:10.01 2:4:3:loud 2:4:3:smooth:mute "
             "2:4:3:ramp=1.5,0.6 2:4:3:ramp=2.1 2:4:3:ramp=-0.5 2:4:3:ramp=0.5,0.5,0.5 2:4:3:ramp= "
             "2:4:3:ramp=0.5:mute 2:4:3:ramp=0.5: 2:4:3: 0.1234567891:2:3 "
             "99999999999999999999:100000000000000000000:2 :2:3 .:2:3")
             .split(' ')) {
        EXPECT_FALSE(parseSectionArgument(text.toStdString())) << text.toStdString();
    }
}

} // namespace
} // namespace lento
