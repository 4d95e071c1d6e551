#include "export/ExportQualities.h"

#include "media/ExportPresets.h"
#include "media/ExportSetup.h"

namespace lento {

const std::vector<ExportQuality>& exportQualities() {
    static const std::vector<ExportQuality> qualities = {
        {"Standard", nullptr},
        {"Original (no re-encoding)", ExportPresetName::Original},
        {"Source Size", ExportPresetName::SourceSize},
        {"1080p", ExportPresetName::P1080},
        {"720p", ExportPresetName::P720},
        {"540p", ExportPresetName::P540},
        {"480p", ExportPresetName::P480},
    };
    return qualities;
}

const char* originalQualityNote() {
    return "The pictures are copied as they are when the whole video is slowed down. Sections, "
           "and videos this format cannot hold, are exported at their own size in the highest "
           "quality.";
}

std::string exportPresetNameForQuality(int index, const Asset& source,
                                       const std::string& destinationPath) {
    const auto& qualities = exportQualities();
    if (index <= 0 || index >= static_cast<int>(qualities.size())) {
        return exportPresetNameForDestination(source, destinationPath);
    }
    return qualities[static_cast<size_t>(index)].presetName;
}

} // namespace lento
