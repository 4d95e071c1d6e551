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

void presetOutputSize(const ExportPreset& preset, int width, int height, int& outWidth,
                      int& outHeight) {
    outWidth = width;
    outHeight = height;
    if (preset.maxWidth > 0 && preset.maxHeight > 0 && width > 0 && height > 0) {
        const bool portrait = height > width;
        const int boxWidth = portrait ? preset.maxHeight : preset.maxWidth;
        const int boxHeight = portrait ? preset.maxWidth : preset.maxHeight;
        const double scale = std::min({1.0, double(boxWidth) / width, double(boxHeight) / height});
        outWidth = static_cast<int>(std::lround(width * scale));
        outHeight = static_cast<int>(std::lround(height * scale));
    }
    // H.264 in 4:2:0 needs even sizes.
    outWidth = std::max(2, outWidth - outWidth % 2);
    outHeight = std::max(2, outHeight - outHeight % 2);
}

} // namespace lento
