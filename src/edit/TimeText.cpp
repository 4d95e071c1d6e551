#include "edit/TimeText.h"

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

QString timeTextWithMilliseconds(MediaTime time) {
    if (!time.isNumeric()) {
        return {};
    }
    const int64_t milliseconds = time.convertScale(1000).value;
    const int64_t seconds = milliseconds / 1000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'))
        .arg(milliseconds % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace lento
