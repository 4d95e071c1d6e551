#include "media/ExportPresets.h"

#include "media/Asset.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace lento {

std::string fileTypeName(FileType type) {
    switch (type) {
    case FileType::QuickTimeMovie:
        return "QuickTime movie";
    case FileType::MPEG4:
        return "MPEG-4";
    case FileType::ThreeGPP:
        return "3GPP";
    }
    return {};
}

const char* fileTypeMuxer(FileType type) {
    switch (type) {
    case FileType::QuickTimeMovie:
        return "mov";
    case FileType::MPEG4:
        return "mp4";
    case FileType::ThreeGPP:
        return "3gp";
    }
    return "mov";
}

std::optional<FileType> fileTypeForExtension(std::string_view extension) {
    std::string lower(extension);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "mov") {
        return FileType::QuickTimeMovie;
    }
    if (lower == "mp4" || lower == "m4v") {
        return FileType::MPEG4;
    }
    if (lower == "3gp") {
        return FileType::ThreeGPP;
    }
    return std::nullopt;
}

const std::vector<ExportPreset>& exportPresetTable() {
    static const std::vector<FileType> allTypes = {FileType::QuickTimeMovie, FileType::MPEG4,
                                                   FileType::ThreeGPP};
    static const std::vector<ExportPreset> table = {
        {ExportPresetName::HighestQuality, 0, 0, 18, "medium", 256000, allTypes},
        {ExportPresetName::H264_1280x720, 1280, 720, 20, "medium", 160000, allTypes},
        {ExportPresetName::H264_960x540, 960, 540, 21, "medium", 128000, allTypes},
        {ExportPresetName::H264_640x480, 640, 480, 22, "medium", 128000, allTypes},
    };
    return table;
}

const std::vector<ExportPreset>& qualityPresetTable() {
    static const std::vector<FileType> allTypes = {FileType::QuickTimeMovie, FileType::MPEG4,
                                                   FileType::ThreeGPP};
    static const std::vector<ExportPreset> table = {
        {ExportPresetName::Original, 0, 0, 16, "medium", 256000, allTypes, true},
        {ExportPresetName::SourceSize, 0, 0, 18, "medium", 256000, allTypes},
        {ExportPresetName::P1080, 1920, 1080, 19, "medium", 192000, allTypes},
        {ExportPresetName::P720, 1280, 720, 20, "medium", 160000, allTypes},
        {ExportPresetName::P540, 960, 540, 21, "medium", 128000, allTypes},
        {ExportPresetName::P480, 854, 480, 22, "medium", 128000, allTypes},
    };
    return table;
}

const ExportPreset* exportPresetNamed(std::string_view name) {
    for (const auto* table : {&exportPresetTable(), &qualityPresetTable()}) {
        for (const ExportPreset& preset : *table) {
            if (preset.name == name) {
                return &preset;
            }
        }
    }
    return nullptr;
}

std::vector<std::string> exportPresetsCompatibleWithAsset(const Asset& asset) {
    std::vector<std::string> names;
    if (!asset.isPlayable()) {
        return names;
    }
    for (const ExportPreset& preset : exportPresetTable()) {
        names.push_back(preset.name);
    }
    return names;
}

PictureSize presetOutputSize(const ExportPreset& preset, const PictureSize& source) {
    PictureSize output = source;
    const AVRational aspect = source.sampleAspect.num > 0 && source.sampleAspect.den > 0
                                  ? source.sampleAspect
                                  : AVRational{1, 1};
    output.sampleAspect = aspect;
    if (preset.maxWidth > 0 && preset.maxHeight > 0 && source.width > 0 && source.height > 0) {
        const double shownWidth = source.width * av_q2d(aspect);
        const double shownHeight = source.height;
        const bool portrait = shownHeight > shownWidth;
        const int boxWidth = portrait ? preset.maxHeight : preset.maxWidth;
        const int boxHeight = portrait ? preset.maxWidth : preset.maxHeight;
        const double scale =
            std::min(double(boxWidth) / shownWidth, double(boxHeight) / shownHeight);
        if (scale < 1.0) {
            output.width = static_cast<int>(std::lround(shownWidth * scale));
            output.height = static_cast<int>(std::lround(shownHeight * scale));
            output.sampleAspect = AVRational{1, 1};
        }
    }
    // H.264 in 4:2:0 needs even sizes.
    output.width = std::max(2, output.width - output.width % 2);
    output.height = std::max(2, output.height - output.height % 2);
    return output;
}

} // namespace lento
