#include "ExportOptions.h"

#include "edit/SectionArgument.h"
#include "media/ExportPresets.h"
#include "media/ExportSetup.h"
#include "media/MediaTime.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <system_error>

namespace lento::cli {

namespace {

// A factor the editor offers too; 2.5 is exactly five halves.
bool parseFactor(std::string_view text, SpeedFactor& factor) {
    const std::optional<SpeedFactor> parsed = SpeedFactor::parseInEditorRange(text);
    if (!parsed) {
        return false;
    }
    factor = *parsed;
    return true;
}

bool parseSeconds(std::string_view text, double& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

// "START:END:FACTOR", then optionally ":mute", then optionally a motion mode (":smooth"), then
// optionally its ramps (":ramp=0.5" or ":ramp=0.5,1").
bool parseSection(std::string_view text, SectionOption& section) {
    const std::optional<SectionArgument> parsed = parseSectionArgument(text);
    if (!parsed) {
        return false;
    }
    section = {parsed->start.seconds(), parsed->end.seconds(), parsed->factor, parsed->mute,
               parsed->motion,          parsed->rampIn,        parsed->rampOut};
    return true;
}

// Whether two sections share a stretch of the source; touching ones do not.
bool sectionsOverlap(std::vector<SectionOption> sections) {
    std::sort(sections.begin(), sections.end(),
              [](const auto& a, const auto& b) { return a.start < b.start; });
    return std::adjacent_find(sections.begin(), sections.end(), [](const auto& a, const auto& b) {
               return b.start < a.end;
           }) != sections.end();
}

} // namespace

std::optional<Options> parseOptions(const std::vector<std::string_view>& args, std::string& error) {
    Options options;
    std::vector<std::string_view> files;
    bool onlyFiles = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto valueCount = [&](size_t count) { return i + count < args.size(); };
        if (onlyFiles || !arg.starts_with("-") || arg == "-") {
            files.push_back(arg);
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "--no-sound") {
            options.noSound = true;
        } else if (arg == "--factor") {
            options.hasFactor = true;
            if (!valueCount(1) || !parseFactor(args[++i], options.factor)) {
                error = std::string("--factor needs a number from ") + kFactorRule;
                return std::nullopt;
            }
        } else if (arg == "--motion") {
            const std::optional<MotionMode> motion =
                valueCount(1) ? motionModeNamed(args[++i]) : std::nullopt;
            if (!motion) {
                error = "--motion needs hold, blend or smooth";
                return std::nullopt;
            }
            options.motion = *motion;
        } else if (arg == "--preset") {
            if (!valueCount(1)) {
                error = "--preset needs a name";
                return std::nullopt;
            }
            options.preset = args[++i];
        } else if (arg == "--range") {
            options.hasRange = valueCount(2) && parseSeconds(args[i + 1], options.rangeStart) &&
                               parseSeconds(args[i + 2], options.rangeEnd);
            i += 2;
            if (!options.hasRange || options.rangeStart < 0 ||
                options.rangeEnd <= options.rangeStart) {
                error = "--range needs START and END in seconds, 0 <= START < END";
                return std::nullopt;
            }
        } else if (arg == "--edit") {
            if (!valueCount(1)) {
                error = "--edit needs a .lento file";
                return std::nullopt;
            }
            options.edit = args[++i];
        } else if (arg == "--section") {
            SectionOption section;
            if (!valueCount(1) || !parseSection(args[++i], section)) {
                error = "--section needs START:END:FACTOR[:mute][:MODE][:ramp=IN[,OUT]], "
                        "0 <= START < END seconds, ramps together at most END - START, FACTOR " +
                        std::string(kFactorRule);
                return std::nullopt;
            }
            options.sections.push_back(section);
        } else {
            error = "unknown option " + std::string(arg);
            return std::nullopt;
        }
    }
    if (!options.sections.empty() && (options.hasFactor || options.hasRange)) {
        error = "--section does not go with --factor or --range";
        return std::nullopt;
    }
    if (sectionsOverlap(options.sections)) {
        error = "--section parts must not overlap";
        return std::nullopt;
    }
    if (!options.edit.empty()) {
        // The edit holds the source and every setting.
        const bool motion = std::find(args.begin(), args.end(), "--motion") != args.end();
        if (options.hasFactor || options.hasRange || !options.sections.empty() || options.noSound ||
            motion) {
            error = "--edit goes only with --preset";
            return std::nullopt;
        }
        if (files.size() != 1) {
            error = files.empty() ? "DEST is needed" : "--edit takes DEST alone, no SOURCE";
            return std::nullopt;
        }
        files.insert(files.begin(), options.edit);
    }
    if (files.size() != 2) {
        error = files.size() < 2 ? "SOURCE and DEST are needed" : "too many file names";
        return std::nullopt;
    }
    options.source = files[0];
    options.destination = files[1];
    if (!fileTypeForExtension(pathExtension(options.destination))) {
        error = "DEST must end in " + std::string(kWrittenExtensions);
        return std::nullopt;
    }
    return options;
}

} // namespace lento::cli
