#pragma once

#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <optional>
#include <string_view>

namespace lento {

// One section as lento-export's --section gives it: START:END:FACTOR[:mute][:MODE][:ramp=IN[,OUT]].
// Times are seconds written as decimals and kept exactly ("0.1" is 1/10 s); FACTOR is one the
// editor takes; "mute" leaves the section's sound out; MODE (hold, blend or smooth) is its
// motion; the ramps are seconds of the source, one value for both ends or IN,OUT.
struct SectionArgument {
    MediaTime start;
    MediaTime end;
    SpeedFactor factor;
    bool mute = false;
    std::optional<MotionMode> motion; // the command line's own when not named
    MediaTime rampIn = MediaTime::zero();
    MediaTime rampOut = MediaTime::zero();
};

// Nothing for any other text, for START below 0 or END not after it, and for ramps longer
// together than the section.
std::optional<SectionArgument> parseSectionArgument(std::string_view text);

// "12", "0.25", "3.", ".5": seconds with at most nine decimals, exact at the timescale of their
// decimals; nothing for any other text, signs and exponents included.
std::optional<MediaTime> parseDecimalSeconds(std::string_view text);

} // namespace lento
