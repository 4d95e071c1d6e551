#pragma once

#include "media/Asset.h"

#include <string>
#include <vector>

namespace lento {

// A choice of the save panel's "Quality:" row.
struct ExportQuality {
    const char* label;
    const char* presetName; // null for the first: the preset follows the destination
};

// The choices, the default first: the preset the destination implies (3gp at the source's size,
// every other type fitting 1280x720), then Original and the sizes, largest first.
const std::vector<ExportQuality>& exportQualities();
// The index of Original among them.
inline constexpr int kOriginalQuality = 1;
// What Original does where it cannot copy the pictures, shown under the row.
const char* originalQualityNote();

// The preset an export of `source` to `destinationPath` at the quality at `index` uses.
std::string exportPresetNameForQuality(int index, const Asset& source,
                                       const std::string& destinationPath);

} // namespace lento
