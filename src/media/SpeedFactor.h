#pragma once

#include "media/MediaTime.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lento {

// How many times slower a stretch plays, as an exact ratio in lowest terms: 5/2 is "2.5x slower".
// 1 is the original speed. Durations are stretched by it exactly, never through a double.
class SpeedFactor {
public:
    // The original speed.
    constexpr SpeedFactor() = default;

    // num / den reduced; nothing for a zero or negative ratio.
    static std::optional<SpeedFactor> make(int64_t num, int64_t den);
    // A whole factor; anything below 1 is taken as 1.
    static SpeedFactor whole(int64_t factor);
    // A decimal text with at most `maxDecimals` digits after the point ("2", "2.5", "2.25", also
    // "2,5"); nothing for any other text or a factor that is not positive.
    static std::optional<SpeedFactor> parse(std::string_view text, int maxDecimals = 2);

    // The range the editor offers: 1 to 10 with at most two decimals.
    static constexpr int64_t kMaximum = 10;
    static constexpr int kMaxDecimals = 2;
    static constexpr const char* kEditorRangeText = "1 to 10 with up to two decimals";
    bool isWithinEditorRange() const;
    // A factor the editor takes, however it comes in (typed, on a command line, from an edit
    // file): a decimal text as parse() reads it, within the editor's range; nothing otherwise.
    static std::optional<SpeedFactor> parseInEditorRange(std::string_view text);

    int64_t num() const { return m_num; }
    int64_t den() const { return m_den; }
    bool isWhole() const { return m_den == 1; }
    bool isOne() const { return m_num == 1 && m_den == 1; }

    // "3", "2.5", "2.25"; a ratio with no short decimal form as "7/3".
    std::string text() const;
    // Parses what text() writes: decimals with any number of digits, or "N/D".
    static std::optional<SpeedFactor> fromText(std::string_view text);

    // `duration` stretched by the factor, at its own timescale (rounded to the nearest value and
    // marked when the result falls between two ticks).
    MediaTime stretch(MediaTime duration) const;
    // `duration` squeezed back: duration / factor.
    MediaTime squeeze(MediaTime duration) const;

    // The playback rate 1 / factor. Only for players, which take a double.
    double playbackRate() const { return double(m_den) / double(m_num); }

    friend bool operator==(SpeedFactor a, SpeedFactor b) = default;
    friend std::strong_ordering operator<=>(SpeedFactor a, SpeedFactor b);

private:
    constexpr SpeedFactor(int64_t num, int64_t den) : m_num(num), m_den(den) {}

    int64_t m_num = 1;
    int64_t m_den = 1;
};

} // namespace lento
