#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

namespace lento {

class Asset;

// Movie container types an export can write.
enum class FileType { QuickTimeMovie, MPEG4, ThreeGPP };

// "QuickTime movie", "MPEG-4", "3GPP".
std::string fileTypeName(FileType type);
// The FFmpeg muxer that writes the type.
const char* fileTypeMuxer(FileType type);
// mov -> QuickTime movie; mp4 and m4v -> MPEG-4; 3gp -> 3GPP; compared without case.
std::optional<FileType> fileTypeForExtension(std::string_view extension);

struct ExportPreset {
    std::string name;
    // The largest picture as width x height for a landscape frame (swapped for a portrait one);
    // 0 keeps the source's size. Never upscales; keeps the aspect ratio.
    int maxWidth = 0;
    int maxHeight = 0;
    // x264 constant-quality factor and speed preset.
    int crf = 20;
    const char* x264Preset = "medium";
    int audioBitRate = 160000;
    std::vector<FileType> fileTypes;
    // The source's pictures are copied as they are, without decoding, where the export is one
    // whole source held longer; elsewhere the preset encodes at the source's size.
    bool copyVideo = false;
};

namespace ExportPresetName {
// Source size, the best quality: the first compatible preset of every asset.
inline constexpr const char* HighestQuality = "HighestQuality";
inline constexpr const char* H264_1280x720 = "H264_1280x720";
inline constexpr const char* H264_960x540 = "H264_960x540";
inline constexpr const char* H264_640x480 = "H264_640x480";
// The qualities a person chooses in the save panel, and `lento-export --preset` too.
inline constexpr const char* Original = "Original";
inline constexpr const char* SourceSize = "SourceSize";
inline constexpr const char* P1080 = "1080p";
inline constexpr const char* P720 = "720p";
inline constexpr const char* P540 = "540p";
inline constexpr const char* P480 = "480p";
} // namespace ExportPresetName

// All presets, best first.
const std::vector<ExportPreset>& exportPresetTable();
// The presets behind the save panel's "Quality:" choices, best first. Kept apart from the table
// above, whose names are what the compatibility question answers.
const std::vector<ExportPreset>& qualityPresetTable();
// A preset of either table.
const ExportPreset* exportPresetNamed(std::string_view name);

// The names of the presets that can export `asset`, in table order; empty for an asset that is
// not playable.
std::vector<std::string> exportPresetsCompatibleWithAsset(const Asset& asset);

// A stored picture's size and the shape of its pixels (width to height).
struct PictureSize {
    int width = 0;
    int height = 0;
    AVRational sampleAspect{1, 1};
};

// The picture a preset makes of a stored `source` picture, in even numbers. The preset's box
// holds the picture as it is shown (its pixels' shape applied; turned as a portrait picture is).
// A shown picture that fits keeps its stored pixels and their shape: never upscaled, never
// resampled for nothing. One that does not is scaled to fit with square pixels, which every
// player shows the right way.
PictureSize presetOutputSize(const ExportPreset& preset, const PictureSize& source);

} // namespace lento
