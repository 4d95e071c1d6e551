#pragma once

// lento-export's command line: what it asks for, read without touching a file.

#include "media/MediaTime.h"
#include "media/MotionMode.h"
#include "media/SpeedFactor.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lento::cli {

// What a factor may be: the editor's range.
constexpr const char* kFactorRule = SpeedFactor::kEditorRangeText;
// The extensions whose containers an export writes (see fileTypeForExtension).
constexpr const char* kWrittenExtensions = "mov, mp4, m4v or 3gp";

// One --section: a part of the source, in seconds, slowed by its own factor.
struct SectionOption {
    double start = 0;
    double end = 0;
    SpeedFactor factor;
    bool mute = false;
    std::optional<MotionMode> motion; // --motion's when not named
    MediaTime rampIn = MediaTime::zero();
    MediaTime rampOut = MediaTime::zero();
};

struct Options {
    bool help = false;
    bool hasFactor = false;
    SpeedFactor factor;
    bool noSound = false;
    MotionMode motion = MotionMode::Hold;
    std::string preset; // empty: chosen from the destination
    bool hasRange = false;
    double rangeStart = 0;
    double rangeEnd = 0;
    std::vector<SectionOption> sections;
    std::string edit; // a saved edit, in place of SOURCE and its settings
    std::string source;
    std::string destination;
};

// The options, or nullopt with `error` set for a command line that makes no sense.
std::optional<Options> parseOptions(const std::vector<std::string_view>& args, std::string& error);

} // namespace lento::cli
