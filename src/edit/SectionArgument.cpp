#include "edit/SectionArgument.h"

#include <vector>

namespace lento {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (size_t from = 0;;) {
        const size_t at = text.find(separator, from);
        fields.push_back(text.substr(from, at - from));
        if (at == std::string_view::npos) {
            return fields;
        }
        from = at + 1;
    }
}

} // namespace

std::optional<MediaTime> parseDecimalSeconds(std::string_view text) {
    constexpr size_t kMaxDecimals = 9;
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view decimals =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if ((whole.empty() && decimals.empty()) || decimals.size() > kMaxDecimals) {
        return std::nullopt;
    }
    int64_t value = 0;
    const auto append = [&value](std::string_view digits) {
        for (const char digit : digits) {
            if (digit < '0' || digit > '9' || __builtin_mul_overflow(value, 10, &value) ||
                __builtin_add_overflow(value, digit - '0', &value)) {
                return false;
            }
        }
        return true;
    };
    if (!append(whole) || !append(decimals)) {
        return std::nullopt;
    }
    int32_t timescale = 1;
    for (size_t i = 0; i < decimals.size(); ++i) {
        timescale *= 10;
    }
    return MediaTime::make(value, timescale);
}

std::optional<SectionArgument> parseSectionArgument(std::string_view text) {
    const std::vector<std::string_view> fields = split(text, ':');
    if (fields.size() < 3) {
        return std::nullopt;
    }
    SectionArgument section;
    const std::optional<MediaTime> start = parseDecimalSeconds(fields[0]);
    const std::optional<MediaTime> end = parseDecimalSeconds(fields[1]);
    const std::optional<SpeedFactor> factor = SpeedFactor::parseInEditorRange(fields[2]);
    if (!start || !end || !factor || *end <= *start) {
        return std::nullopt;
    }
    section.start = *start;
    section.end = *end;
    section.factor = *factor;
    // The optional fields, each in its place.
    size_t next = 3;
    if (next < fields.size() && fields[next] == "mute") {
        section.mute = true;
        ++next;
    }
    if (next < fields.size() && (section.motion = motionModeNamed(fields[next]))) {
        ++next;
    }
    constexpr std::string_view kRamp = "ramp=";
    if (next < fields.size() && fields[next].starts_with(kRamp)) {
        const std::vector<std::string_view> ramps = split(fields[next].substr(kRamp.size()), ',');
        const std::optional<MediaTime> in = parseDecimalSeconds(ramps[0]);
        const std::optional<MediaTime> out = parseDecimalSeconds(ramps.back());
        if (ramps.size() > 2 || !in || !out || *in + *out > *end - *start) {
            return std::nullopt;
        }
        section.rampIn = *in;
        section.rampOut = *out;
        ++next;
    }
    if (next != fields.size()) {
        return std::nullopt;
    }
    return section;
}

} // namespace lento
