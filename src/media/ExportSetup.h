#pragma once

#include "media/Asset.h"
#include "media/Composition.h"
#include "media/ExportPresets.h"
#include "media/ExportSession.h"
#include "media/SpeedFactor.h"

#include <memory>
#include <string>
#include <vector>

namespace lento {

// The composition of a whole-video export: `sourceRange` of the source (an invalid range means
// the whole source, from zero to its duration; an empty one, nothing) laid at zero, stretched by `factor`, with the
// source's first sound track unless `removeAudio`, its pictures shown as `motion` says. A source
// without video gives its sound alone. A single section exports the same way, with its own range.
std::shared_ptr<Composition>
makeFullVideoComposition(const Asset& source, SpeedFactor factor, bool removeAudio,
                         MediaTimeRange sourceRange = MediaTimeRange::invalid(),
                         MotionMode motion = MotionMode::Hold);

// The preset an export to `destinationPath` uses: for the "3gp" extension the first preset
// compatible with the source, otherwise the 720p preset.
std::string exportPresetNameForDestination(const Asset& source, const std::string& destinationPath);

// The supported type that matches the destination's extension; the first supported type when
// none matches.
FileType outputFileTypeForDestination(const std::vector<FileType>& supportedTypes,
                                      const std::string& destinationPath);

// The extension of a path's file name, without the dot; empty when it has none.
std::string pathExtension(const std::string& path);

} // namespace lento
