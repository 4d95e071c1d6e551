#pragma once

// Inspection of real media files for tests and benchmarks, straight through the FFmpeg
// libraries so that the checks do not depend on the code they check. It reads what the fixtures
// and exports hold: 8-bit 4:2:0 video and planar float audio once decoded.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lento::test {

struct StreamInfo {
    char type = '?';           // 'v' video, 'a' audio, '?' other
    int width = 0, height = 0; // stored size
    // The shape of a pixel, width to height, as the container says it and as the coded stream
    // does; 0:1 where one says nothing.
    std::pair<int, int> containerAspect{0, 1}, codedAspect{0, 1};
    double rotationDegrees = 0;      // counter-clockwise display rotation, in [0, 360)
    double durationSeconds = 0;      // as the stream states it
    double startSeconds = 0;         // its first time stamp, as the stream states it
    std::string codec;               // "h264", "hevc", "aac", ...
    std::string profile;             // "High", "High 10", ...
    std::string pixelFormat;         // "yuv420p", "yuv420p10le", ...
    std::string primaries, transfer; // colour description by FFmpeg's names: "bt2020", "smpte2084"
    int frameRateNum = 0, frameRateDen = 1; // nominal (average) rate
    int sampleRate = 0;
    std::string channelLayout; // "stereo", "5.1", ...
    int packets = 0;           // as read from the file
    std::string packetDigest;  // MD5 of their data, in order: equal for copied streams
};

struct ProbeResult {
    bool ok = false;
    std::string majorBrand; // mov/mp4/3gp "major_brand", e.g. "qt  ", "isom", "3gp6"
    double durationSeconds = 0;
    std::vector<StreamInfo> streams;
    std::map<std::string, std::string> tags; // the container's
    // The ISO media index (moov) comes before the media data (mdat): playable while it arrives.
    bool indexFirst = false;

    const StreamInfo* video() const; // first video stream or nullptr
    const StreamInfo* audio() const; // first audio stream or nullptr
};

ProbeResult probe(const std::string& path);

struct DecodedFrame {
    double time = 0;     // presentation time (s) from the file's start time
    int index = -1;      // frame number read from the three-stripe picture, -1 if unreadable
    double meanLuma = 0; // over the whole picture
};

// Every video frame (8-bit or 10-bit 4:2:0) in presentation order, as the decoder gives them, luma
// on the 8-bit scale. The stripe digits are read from the stored (unrotated) picture, relative to
// its width, so scaled copies read the same. Empty on any error.
std::vector<DecodedFrame> decodeVideoFrames(const std::string& path);

// The MD5 of each decoded video frame's pictures (every plane, row by row, without padding), in
// decoding order; empty on any error. Equal lists mean bit-identical pictures.
std::vector<std::string> frameDigests(const std::string& path);

// Times (s) at which the first audio stream's absolute amplitude first exceeds `threshold` after
// at least 300 ms below it (the start of the stream counts as quiet). Sample-exact, from the
// file's start time, after whatever the demuxer trims from the stream's start.
std::vector<double> soundOnsets(const std::string& path, double threshold = 0.1);

// Root-mean-square amplitude of the first audio stream (mixed to mono) over [from, to) seconds;
// 0 when there are no samples there.
double soundRms(const std::string& path, double from, double to);

// How far apart flashes and beeps are: for each flash (a frame whose mean luma is above 180), the
// distance to the nearest sound onset. A flash without an onset within 0.5 s makes worstSeconds
// infinite. `pairs` counts the flashes that did find an onset.
struct SyncReport {
    double worstSeconds = 0;
    int pairs = 0;
};
SyncReport measureSync(const std::string& path);

// Path of a generated fixture file.
std::string fixture(const std::string& name);

// Whole file contents, empty if it cannot be read.
std::string readFileBytes(const std::string& path);

} // namespace lento::test
