#include "edit/TimeText.h"

#include <QRegularExpression>

#include <cmath>
#include <limits>
#include <vector>

namespace lento {

namespace {

// The ticks of `timescale` nearest to 0.`digits` seconds, a half rounded up: the digits times the
// timescale, written out digit by digit, of which the last digits.size() are the fraction of a
// tick. Exact for any number of digits.
int64_t fractionTicks(QStringView digits, int32_t timescale) {
    std::vector<int> product; // least significant first
    product.reserve(static_cast<size_t>(digits.size()) + 10);
    int64_t carry = 0;
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) {
        carry += int64_t{digit->digitValue()} * timescale;
        product.push_back(static_cast<int>(carry % 10));
        carry /= 10;
    }
    for (; carry > 0; carry /= 10) {
        product.push_back(static_cast<int>(carry % 10));
    }
    const auto fractionDigits = static_cast<size_t>(digits.size());
    int64_t ticks = 0;
    for (size_t i = product.size(); i > fractionDigits; --i) {
        ticks = ticks * 10 + product[i - 1];
    }
    const bool halfOrMore = fractionDigits > 0 && product[fractionDigits - 1] >= 5;
    return ticks + (halfOrMore ? 1 : 0);
}

} // namespace

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

MediaTime parseBoundText(const QString& text, int32_t timescale) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*(?:(?:(\d+):)?(\d+):)?(\d+)(?:\.(\d*))?\s*$)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch() || timescale <= 0) {
        return MediaTime::invalid();
    }
    using Wide = __int128;
    Wide seconds = 0;
    for (const auto& [group, unit] : {std::pair(1, 3600), std::pair(2, 60), std::pair(3, 1)}) {
        bool ok = true;
        const qlonglong count =
            match.hasCaptured(group) ? match.captured(group).toLongLong(&ok) : 0;
        if (!ok) {
            return MediaTime::invalid();
        }
        seconds += Wide{count} * unit;
    }
    const Wide ticks = seconds * timescale + fractionTicks(match.capturedView(4), timescale);
    if (ticks > std::numeric_limits<int64_t>::max()) {
        return MediaTime::invalid();
    }
    return MediaTime::make(static_cast<int64_t>(ticks), timescale);
}

QString rampLengthText(MediaTime length) {
    if (!length.isNumeric()) {
        return {};
    }
    const int64_t milliseconds = length.convertScale(1000).value;
    if (milliseconds == 0) {
        return QStringLiteral("None");
    }
    QString text = QString::number(milliseconds / 1000);
    if (const int64_t fraction = milliseconds % 1000; fraction != 0) {
        QString decimals = QStringLiteral("%1").arg(fraction, 3, 10, QLatin1Char('0'));
        while (decimals.endsWith(QLatin1Char('0'))) {
            decimals.chop(1);
        }
        text += QLatin1Char('.') + decimals;
    }
    return text + QStringLiteral(" s");
}

MediaTime parseRampText(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral(R"(^\s*(\d*(?:\.\d*)?)\s*(s|ms)?\s*$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("None"), Qt::CaseInsensitive) == 0) {
        return MediaTime::make(0, 1000);
    }
    const QRegularExpressionMatch match = pattern.match(trimmed);
    QString number = match.captured(1);
    if (!match.hasMatch() || number.isEmpty() || number == QLatin1String(".")) {
        return MediaTime::invalid();
    }
    if (number.startsWith(QLatin1Char('.'))) {
        number.prepend(QLatin1Char('0'));
    }
    // Milliseconds are read as seconds at a timescale of 1: their nearest whole number.
    if (match.captured(2).compare(QLatin1String("ms"), Qt::CaseInsensitive) == 0) {
        const MediaTime whole = parseBoundText(number, 1);
        return whole.isValid() ? MediaTime::make(whole.value, 1000) : whole;
    }
    return parseBoundText(number, 1000);
}

} // namespace lento
