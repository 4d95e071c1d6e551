#include "controls/TrackAxis.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lento {

namespace {

// Wide enough for value * timescale * width (63 + 31 + 31 bits).
__extension__ typedef __int128 Int128;

// Positions are taken in steps of 1/kSteps of a point.
constexpr int64_t kSteps = 1024;
// Farther off than any widget reaches; keeps the steps within 64 bits.
constexpr double kFarthest = 1.0e12;

// num / den to the nearest integer, ties away from zero; den > 0.
Int128 roundedDivide(Int128 num, Int128 den) {
    const Int128 magnitude = ((num < 0 ? -num : num) * 2 + den) / (den * 2);
    return num < 0 ? -magnitude : magnitude;
}

} // namespace

TrackAxis::TrackAxis(MediaTime duration, int origin, int width)
    : m_duration(duration), m_origin(origin), m_width(width) {}

bool TrackAxis::isValid() const {
    return m_duration.isNumeric() && m_duration.value > 0 && m_width > 0;
}

std::optional<double> TrackAxis::positionOf(MediaTime time) const {
    if (!isValid() || !time.isNumeric()) {
        return std::nullopt;
    }
    // time * width / duration = (value * duration.timescale * width) / (timescale * duration.value)
    const Int128 num = Int128(time.value) * m_duration.timescale * m_width;
    const Int128 den = Int128(time.timescale) * m_duration.value;
    const Int128 whole = num / den;
    const Int128 rest = num % den;
    return double(m_origin) + double(whole) + double(rest) / double(den);
}

std::optional<MediaTime> TrackAxis::timeAt(double x) const {
    if (!isValid() || !std::isfinite(x) || std::abs(x - m_origin) > kFarthest) {
        return std::nullopt;
    }
    const auto steps = static_cast<int64_t>(std::llround((x - m_origin) * double(kSteps)));
    // (steps / kSteps) / width of the duration, in ticks of its timescale.
    const Int128 ticks = roundedDivide(Int128(steps) * m_duration.value, Int128(kSteps) * m_width);
    if (ticks > std::numeric_limits<int64_t>::max() ||
        ticks < std::numeric_limits<int64_t>::min()) {
        return std::nullopt;
    }
    return MediaTime::make(static_cast<int64_t>(ticks), m_duration.timescale);
}

double TrackAxis::clamp(double x) const {
    return std::clamp(x, double(m_origin), double(m_origin + std::max(m_width, 0)));
}

} // namespace lento
