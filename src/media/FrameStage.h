#pragma once

// The frame stage of a picture export. It sits between the picture reader, which hands over
// the source's pictures already scaled and retimed to the output, and the writer's queue, and
// decides which pictures the output shows:
// - Hold passes every picture through as it came, each shown as long as its retiming says.
// - Blend and Smooth show pictures on a constant grid. A grid time that falls on a source
//   picture shows it; one between two source pictures shows a picture made from both at the
//   fraction of the way between their times (a cross-fade for Blend, both pictures moved along
//   their motion for Smooth). Across a scene cut nothing is made: the earlier picture holds up
//   to the midpoint, the later one after it.
// The stage owns no thread the caller must manage; Smooth measures the motion of the next pair
// of pictures on a helper thread while it makes the current pair's pictures.

#include "media/ExportPipeline.h"

#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

namespace lento {

enum class MotionMode { Hold, Blend, Smooth };

// The frame rate of the made pictures' grid for a source stream with the given nominal and
// average rates: the nominal rate, or the average where the stream's pictures come at a
// variable rate, at most 60 fps.
AVRational motionFrameRate(AVRational nominal, AVRational average);

enum class StageOutcome {
    Accepted, // the stage took the picture (or finished) and emitted what it could
    Stopped,  // the consumer refused a picture: the export is ending
    Failed,   // see the error text
};

class FrameStage {
public:
    // Hands one output picture on; false when the consumer takes no more.
    using Emit = std::function<bool(VideoItem)>;

    // `frameRate` is the grid's rate; Hold ignores it.
    FrameStage(MotionMode mode, AVRational frameRate, Emit emit);
    ~FrameStage();
    FrameStage(const FrameStage&) = delete;
    FrameStage& operator=(const FrameStage&) = delete;

    // The next source picture: yuv420p, every picture the same size, times in kVideoTimescale
    // units, each starting after the one before.
    StageOutcome push(VideoItem picture, std::string& error);

    // Emits what the stage still holds, so that the output lasts until the last picture ends.
    StageOutcome finish(std::string& error);

    // How many pairs of neighbours were found to lie on either side of a scene cut.
    int sceneCuts() const;

private:
    class Engine;
    std::unique_ptr<Engine> m_engine;
};

} // namespace lento
