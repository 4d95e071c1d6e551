#include "media/SpeedFactor.h"

#include "media/Composition.h"

#include <algorithm>
#include <charconv>
#include <numeric>

namespace lento {

namespace {

// Values beyond this are refused: they keep products of two factors' terms within 64 bits.
constexpr int64_t kTermLimit = int64_t(1) << 31;
// Decimal texts carry at most this many digits after the point, so that the whole part times the
// fraction's scale stays within 64 bits.
constexpr int kMaxTextDecimals = 9;

std::optional<int64_t> parseDigits(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<SpeedFactor> parseDecimal(std::string_view text, int maxDecimals) {
    const auto point = text.find_first_of(".,");
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (point != std::string_view::npos && fraction.empty()) {
        return std::nullopt;
    }
    if (int(fraction.size()) > maxDecimals || fraction.size() > size_t(kMaxTextDecimals) ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto wholeValue = parseDigits(whole);
    if (!wholeValue || *wholeValue >= kTermLimit) {
        return std::nullopt;
    }
    int64_t scale = 1;
    for (size_t i = 0; i < fraction.size(); ++i) {
        scale *= 10;
    }
    const int64_t fractionValue = fraction.empty() ? 0 : *parseDigits(fraction);
    return SpeedFactor::make(*wholeValue * scale + fractionValue, scale);
}

} // namespace

std::optional<SpeedFactor> SpeedFactor::make(int64_t num, int64_t den) {
    if (num <= 0 || den <= 0) {
        return std::nullopt;
    }
    const int64_t divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    if (num >= kTermLimit || den >= kTermLimit) {
        return std::nullopt;
    }
    return SpeedFactor(num, den);
}

SpeedFactor SpeedFactor::whole(int64_t factor) {
    return SpeedFactor(std::clamp<int64_t>(factor, 1, kTermLimit - 1), 1);
}

std::optional<SpeedFactor> SpeedFactor::parse(std::string_view text, int maxDecimals) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return parseDecimal(text, maxDecimals);
}

std::optional<SpeedFactor> SpeedFactor::fromText(std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        return parseDecimal(text, kMaxTextDecimals);
    }
    const auto num = parseDigits(text.substr(0, slash));
    const auto den = parseDigits(text.substr(slash + 1));
    if (!num || !den) {
        return std::nullopt;
    }
    return make(*num, *den);
}

std::optional<SpeedFactor> SpeedFactor::parseInEditorRange(std::string_view text) {
    const std::optional<SpeedFactor> factor = parse(text, kMaxDecimals);
    if (!factor || !factor->isWithinEditorRange()) {
        return std::nullopt;
    }
    return factor;
}

bool SpeedFactor::isWithinEditorRange() const {
    // At most two decimals: the denominator divides 100.
    return m_num >= m_den && m_num <= kMaximum * m_den && 100 % m_den == 0;
}

std::string SpeedFactor::text() const {
    std::string whole = std::to_string(m_num / m_den);
    if (m_den == 1) {
        return whole;
    }
    // A decimal form exists when the denominator has no prime factors but 2 and 5.
    int64_t scale = 1;
    int digits = 0;
    int64_t rest = m_den;
    while (rest % 2 == 0) {
        rest /= 2;
    }
    while (rest % 5 == 0) {
        rest /= 5;
    }
    while (rest == 1 && scale % m_den != 0 && digits < kMaxTextDecimals) {
        scale *= 10;
        ++digits;
    }
    if (rest != 1 || scale % m_den != 0) {
        return std::to_string(m_num) + "/" + std::to_string(m_den);
    }
    const int64_t fraction = (m_num % m_den) * (scale / m_den);
    std::string fractionText = std::to_string(fraction);
    fractionText.insert(0, size_t(digits) - fractionText.size(), '0');
    return whole + "." + fractionText;
}

namespace {

// value * mul / (timescale * div) exactly when the terms fit, else rounded at the time's own
// timescale.
MediaTime scaleExactly(MediaTime time, int64_t mul, int64_t div) {
    if (!time.isNumeric()) {
        return time;
    }
    int64_t value = 0;
    const int64_t timescale = int64_t(time.timescale) * div;
    if (timescale <= MediaTime::kMaxTimescale && !__builtin_mul_overflow(time.value, mul, &value)) {
        MediaTime result = MediaTime::make(value, static_cast<int32_t>(timescale));
        result.flags |= time.flags & MediaTime::HasBeenRounded;
        result.epoch = time.epoch;
        return result;
    }
    return scaleTime(time, MediaTime::make(mul, 1), MediaTime::make(div, 1));
}

} // namespace

MediaTime SpeedFactor::stretch(MediaTime duration) const {
    return scaleExactly(duration, m_num, m_den);
}

MediaTime SpeedFactor::squeeze(MediaTime duration) const {
    return scaleExactly(duration, m_den, m_num);
}

std::strong_ordering operator<=>(SpeedFactor a, SpeedFactor b) {
    // Both terms stay below 2^31, so the cross products fit.
    return a.m_num * b.m_den <=> b.m_num * a.m_den;
}

} // namespace lento
