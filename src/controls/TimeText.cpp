#include "controls/TimeText.h"

#include <cmath>

namespace lento {

QString timeText(MediaTime time) {
    const double seconds = time.seconds();
    if (!std::isfinite(seconds)) {
        return QStringLiteral("00:00:00");
    }
    constexpr double kSecondsPerDay = 86400.0;
    // Whole seconds toward minus infinity, then the time of day: -1 s is 23:59:59.
    double ofDay = std::fmod(std::floor(seconds), kSecondsPerDay);
    if (ofDay < 0.0) {
        ofDay += kSecondsPerDay;
    }
    const int total = static_cast<int>(ofDay);
    return QString::asprintf("%02d:%02d:%02d", total / 3600, total / 60 % 60, total % 60);
}

} // namespace lento
