#pragma once

#include "media/MediaTime.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

namespace lento {

enum class MediaType { Video, Audio };

class Asset;

// What an export keeps of its source beyond the pictures and sound themselves: the tags people
// search their footage by, the colour description, and whether the pictures are deeper than
// 8 bits.
struct SourceTraits {
    // Container tags under the names the muxers write (creation_time, location, make, model).
    std::vector<std::pair<std::string, std::string>> tags;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    AVChromaLocation chromaLocation = AVCHROMA_LOC_UNSPECIFIED;
    bool deep = false; // more than 8 bits a sample
};

// How a video stream's pictures follow one another, read from their own time stamps.
struct PictureSpacing {
    // The time from one picture to the next, in seconds, exact; 0/1 when the stamps did not
    // tell (fewer than three pictures).
    AVRational spacing{0, 1};
    // Whether every picture follows the one before by `spacing`, or by a whole number of times
    // it where pictures were dropped, within the rounding of the stamps; the last picture is left
    // out, as it often lasts less. Otherwise `spacing` is the typical (median) one.
    bool even = false;
};

// The spacing of pictures stamped `stamps` (in `timeBase` units, in any order). Where the stamps
// are rounded (Matroska's milliseconds) and their average lies within that rounding of a usual
// rate (24000/1001, 30000/1001, ...), the spacing is that rate's, exactly.
PictureSpacing pictureSpacingOf(std::vector<int64_t> stamps, AVRational timeBase);

// One audio or video stream of an asset.
struct AssetTrack {
    // Shared so that a track can be handed on (to a composition) without its asset.
    std::shared_ptr<const Asset> asset;
    int32_t trackID = 0;  // stream index + 1
    int streamIndex = -1; // index in the container
    MediaType mediaType = MediaType::Video;
    int naturalWidth = 0; // stored size, before rotation
    int naturalHeight = 0;
    // The shape of a stored pixel, width to height: 32:27 for a widescreen DVD's 720x480, whose
    // picture shows as 16:9. 1:1 where the pixels are square or nothing says otherwise.
    AVRational sampleAspect{1, 1};
    // Clockwise degrees (0, 90, 180, 270) to turn the stored picture to display it.
    int rotation = 0;
    // The container's display matrix, when it has one; copied unchanged into exports.
    bool hasDisplayMatrix = false;
    std::array<int32_t, 9> displayMatrix{};
    double nominalFrameRate = 0;
    // The stream's own rates, exact: the rate its timestamps are written at (r_frame_rate) and
    // its pictures' average (avg_frame_rate); 0/1 when unknown.
    AVRational nominalRate{0, 1};
    AVRational averageRate{0, 1};
    // The exact rate `nominalFrameRate` was taken from: the average where known; 0/1 when unknown.
    AVRational frameRate() const { return averageRate.num > 0 ? averageRate : nominalRate; }
    // From the container's index of every sample where it keeps one (QuickTime, MPEG-4),
    // otherwise from the first packets of the asset's first video stream.
    PictureSpacing pictureSpacing;
    int sampleRate = 0;
    int channels = 0;
    MediaTimeRange timeRange;
    // Read with the rest of the asset: opening the file again for them costs an export as much
    // as copying a short clip.
    SourceTraits traits;
};

// A media file opened for inspection. Opening never throws: a file that cannot be read is an
// asset that is not playable and has no tracks.
class Asset : public std::enable_shared_from_this<Asset> {
public:
    static std::shared_ptr<Asset> assetWithPath(const std::string& path);

    const std::string& path() const { return m_path; }
    // The container opens, holds an audio or video stream with a decoder, and its first frame
    // decodes.
    bool isPlayable() const { return m_playable; }
    // Why the asset is not playable; empty when it is.
    const std::string& error() const { return m_error; }
    // In the timescale of the first video stream (the first audio stream's without video).
    MediaTime duration() const { return m_duration; }
    // The container's start; every time of the asset is measured from it.
    int64_t startTimeMicroseconds() const { return m_startMicroseconds; }
    // How far the file's data really goes: the duration, or less when the file was cut off
    // after its index was written (a copy or a recording that stopped short).
    MediaTime readableDuration() const { return m_readableDuration; }
    bool isDamaged() const { return m_readableDuration < m_duration; }

    std::vector<AssetTrack> tracks() const;
    // In file order.
    std::vector<AssetTrack> tracksWithMediaType(MediaType type) const;

private:
    explicit Asset(std::string path) : m_path(std::move(path)) {}
    void load();

    std::string m_path;
    bool m_playable = false;
    std::string m_error;
    MediaTime m_duration = MediaTime::invalid();
    MediaTime m_readableDuration = MediaTime::invalid();
    int64_t m_startMicroseconds = 0;
    std::vector<AssetTrack> m_tracks; // without their asset pointer, set when handed out
};

// The timescale a stream's time base stands for: 1/den when num is 1.
int32_t timescaleForTimeBase(int num, int den);

} // namespace lento
