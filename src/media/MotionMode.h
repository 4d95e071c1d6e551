#pragma once

#include <optional>
#include <string_view>

namespace lento {

// How an export shows a slowed stretch: each source picture held for longer (the pictures the
// source has, nothing made), cross-fades between neighbours, or pictures made by following the
// motion between them. The last two show a constant frame rate.
enum class MotionMode { Hold, Blend, Smooth };

// "hold", "blend", "smooth": the words the command line uses.
constexpr std::string_view motionModeName(MotionMode mode) {
    switch (mode) {
    case MotionMode::Blend:
        return "blend";
    case MotionMode::Smooth:
        return "smooth";
    case MotionMode::Hold:
        break;
    }
    return "hold";
}

constexpr std::optional<MotionMode> motionModeNamed(std::string_view name) {
    for (MotionMode mode : {MotionMode::Hold, MotionMode::Blend, MotionMode::Smooth}) {
        if (name == motionModeName(mode)) {
            return mode;
        }
    }
    return std::nullopt;
}

} // namespace lento
