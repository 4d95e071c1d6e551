#pragma once

// The frame stage of a picture export. It sits between the picture reader, which hands over
// the source's pictures already scaled and retimed to the output, and the writer's queue, and
// decides which pictures the output shows:
// - Hold passes every picture through as it came, each shown as long as its retiming says.
// - Blend and Smooth show pictures on a constant grid. A grid time that falls on a source
//   picture shows it; one between two source pictures shows a picture made from both at the
//   fraction of the way between their times (a cross-fade for Blend, both pictures moved along
//   their motion for Smooth). Across a scene cut nothing is moved: for Blend the earlier
//   picture holds up to the midpoint, the later one after it; Smooth cross-fades the two over
//   the middle two thirds of the pair, half and half at the midpoint, each side alone nearer
//   its end.
// The stage owns no thread the caller must manage; Smooth measures the motion of the next pair
// of pictures on a helper thread while it makes the current pair's pictures.

#include "media/Asset.h"
#include "media/ExportPipeline.h"
#include "media/MotionMode.h"

#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

namespace lento {

// The frame rate of the made pictures' grid for a source video stream, from its pictures'
// spacing. Evenly spaced pictures give their own rate, so that every source picture lies on the
// grid and passes through as it is; above 60 fps, the largest whole fraction of it up to 60 fps
// (every 2nd picture of 120 fps). Unevenly spaced ones give the usual rate (23.976, 24, 25,
// 29.97, 30, 50, 59.94, 60) nearest their typical spacing. A stream whose stamps told nothing
// gives its nominal rate, or its average where the two differ by more than a percent.
AVRational motionFrameRate(const AssetTrack& track);

class FrameStage {
public:
    // Hands one output picture on; false when the consumer takes no more.
    using Emit = std::function<bool(VideoItem)>;

    // The source time shown at an output time (kVideoTimescale units).
    using SourcePosition = std::function<MediaTime(int64_t time)>;

    // `frameRate` is the grid's rate; Hold ignores it. Made pictures come from `pool` when
    // given (it must outlive the stage), otherwise from the stage's own. With `sourceAt`, for
    // pictures retimed along a time map, a made picture lies between its neighbours where
    // `sourceAt` puts its time between their source times (VideoItem::source), rather than
    // where its time lies between theirs: within a ramp the two differ.
    FrameStage(MotionMode mode, AVRational frameRate, Emit emit, PicturePool* pool = nullptr,
               SourcePosition sourceAt = {});
    ~FrameStage();
    FrameStage(const FrameStage&) = delete;
    FrameStage& operator=(const FrameStage&) = delete;

    // The next source picture: yuv420p or yuv420p10 (made pictures keep the depth), every
    // picture the same size and format, times in kVideoTimescale units, each starting after the
    // one before. Succeeds when the stage took the picture and
    // emitted what it could; stops when the consumer refused a picture.
    StageOutcome push(VideoItem picture);

    // Emits what the stage still holds, so that the output lasts until the last picture ends.
    StageOutcome finish();

    // Grid pictures that end by `time` (kVideoTimescale units) are passed over: neither made
    // nor emitted, and the motion of a pair whose pictures all end by then is not measured. For
    // playback from a place on, which needs the pictures from there and the neighbours they
    // are made from, not the pictures leading up to it. None are passed over unless asked; set
    // before the first picture.
    void passBefore(int64_t time);

    // How many pairs of neighbours were found to lie on either side of a scene cut.
    int sceneCuts() const;

private:
    class Engine;
    std::unique_ptr<Engine> m_engine;
};

} // namespace lento
