#include "media/PictureTiming.h"

#include <algorithm>

namespace lento {

bool GridPicture::isSourcePicture() const {
    return offset == MediaTime::zero();
}

double GridPicture::fraction() const {
    if (isSourcePicture() || !(span > MediaTime::zero())) {
        return 0.0;
    }
    return offset.seconds() / span.seconds();
}

int64_t gridPictureCount(const TimeMap& map, MediaTime period) {
    const MediaTime end = map.outputDuration();
    if (!period.isNumeric() || period <= MediaTime::zero() || !end.isNumeric() ||
        end <= MediaTime::zero()) {
        return 0;
    }
    // ceil(end / period), exactly.
    __extension__ typedef __int128 Int128;
    const Int128 num = Int128(end.value) * period.timescale;
    const Int128 den = Int128(end.timescale) * period.value;
    return static_cast<int64_t>((num + den - 1) / den);
}

GridPicture gridPicture(const TimeMap& map, int64_t index, MediaTime period,
                        std::span<const MediaTime> stamps, int32_t timescale) {
    GridPicture picture;
    picture.outputTime = MediaTime::make(index * period.value, period.timescale);
    picture.sourcePosition = map.sourceTime(picture.outputTime, timescale);
    picture.offset = MediaTime::zero();
    picture.span = MediaTime::zero();
    if (stamps.empty()) {
        return picture;
    }
    const auto after = std::upper_bound(stamps.begin(), stamps.end(), picture.sourcePosition);
    if (after == stamps.begin()) {
        return picture;
    }
    picture.before = static_cast<size_t>(after - stamps.begin()) - 1;
    picture.after = after == stamps.end() ? picture.before : picture.before + 1;
    if (picture.after != picture.before) {
        picture.offset = picture.sourcePosition - stamps[picture.before];
        picture.span = stamps[picture.after] - stamps[picture.before];
    }
    return picture;
}

} // namespace lento
