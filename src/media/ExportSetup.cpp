#include "media/ExportSetup.h"

#include <filesystem>

namespace lento {

namespace {

// Lays `range` of `sourceTrack` at zero of a new track and stretches it by `factor`.
void addStretchedTrack(Composition& composition, const AssetTrack& sourceTrack,
                       const MediaTimeRange& range, SpeedFactor factor, MotionMode motion) {
    CompositionTrack* track = composition.addTrack(sourceTrack.mediaType, 0);
    track->insertTimeRange(range, sourceTrack, MediaTime::zero(), motion);
    if (!factor.isOne()) {
        track->scaleTimeRange(MediaTimeRange::make(MediaTime::zero(), range.duration),
                              factor.stretch(range.duration));
    }
}

} // namespace

std::shared_ptr<Composition> makeFullVideoComposition(const Asset& source, SpeedFactor factor,
                                                      bool removeAudio, MediaTimeRange sourceRange,
                                                      MotionMode motion) {
    auto composition = std::make_shared<Composition>();
    const MediaTime duration = source.duration();
    if (!sourceRange.isValid()) {
        sourceRange = MediaTimeRange::make(MediaTime::make(0, duration.timescale), duration);
    } else if (sourceRange.isEmpty()) {
        // Nothing, never everything: the export of it fails as having nothing to write.
        return composition;
    }
    const auto videoTracks = source.tracksWithMediaType(MediaType::Video);
    if (!videoTracks.empty()) {
        addStretchedTrack(*composition, videoTracks.front(), sourceRange, factor, motion);
    }
    const auto audioTracks = source.tracksWithMediaType(MediaType::Audio);
    if (!removeAudio && !audioTracks.empty()) {
        addStretchedTrack(*composition, audioTracks.front(), sourceRange, factor, MotionMode::Hold);
    }
    return composition;
}

std::string pathExtension(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

std::string exportPresetNameForDestination(const Asset& source,
                                           const std::string& destinationPath) {
    if (pathExtension(destinationPath) == "3gp") {
        const auto compatible = exportPresetsCompatibleWithAsset(source);
        if (!compatible.empty()) {
            return compatible.front();
        }
    }
    return ExportPresetName::H264_1280x720;
}

FileType outputFileTypeForDestination(const std::vector<FileType>& supportedTypes,
                                      const std::string& destinationPath) {
    const auto wanted = fileTypeForExtension(pathExtension(destinationPath));
    for (FileType type : supportedTypes) {
        if (wanted && type == *wanted) {
            return type;
        }
    }
    return supportedTypes.empty() ? FileType::QuickTimeMovie : supportedTypes.front();
}

} // namespace lento
