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

} // namespace lento
