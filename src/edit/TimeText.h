#pragma once

#include "media/MediaTime.h"

#include <QString>

namespace lento {

// "HH:mm:ss" of a media time read as that many seconds after the Unix epoch, in UTC: fractions
// are dropped toward minus infinity, a day wraps to 00:00:00 and minus one second shows 23:59:59.
// Every time label uses this rule. Times without a number of seconds show 00:00:00.
QString timeText(MediaTime time);

// "HH:mm:ss.zzz", to the nearest millisecond, hours not wrapped; empty for a time without a
// number of seconds.
QString timeTextWithMilliseconds(MediaTime time);

// The time typed into a bound field, as timeTextWithMilliseconds() writes it or shorter
// ("HH:mm:ss.zzz", "mm:ss", "ss.zzz", with any number of decimals), at `timescale`: the tick
// nearest to the typed time, a half tick rounded up, computed exactly. Invalid for any other
// text, a timescale that is not positive, or a time beyond the 64-bit range.
MediaTime parseBoundText(const QString& text, int32_t timescale);

// A ramp's length as the Sections tab shows it: "None" for no ramp, else seconds to the nearest
// millisecond without trailing zeros ("0.25 s", "1 s").
QString rampLengthText(MediaTime length);

// A ramp's length chosen or typed: "None" or nothing for no ramp, else seconds ("0.5", "0.5 s",
// ".25s") or milliseconds ("250 ms"), to the nearest millisecond (timescale 1000). Invalid for any
// other text, signs included.
MediaTime parseRampText(const QString& text);

} // namespace lento
