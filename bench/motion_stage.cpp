// Slows raw yuv420p pictures read from standard input through the export's frame stage and
// writes the output as raw pictures on its constant grid to standard output, for bench/motion.
//
//   bench_motion_stage WIDTH HEIGHT RATE_NUM RATE_DEN FACTOR hold|blend|smooth
//
// Held pictures are written as many times as the grid shows them, so that every mode's output
// can be compared picture by picture with the source. The stage's own time and the scene cuts
// it found go to standard error.

#include "media/FrameStage.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

struct Arguments {
    int width = 0, height = 0;
    AVRational rate{0, 1};
    int factor = 1;
    lento::MotionMode mode = lento::MotionMode::Hold;
};

bool parse(int argc, char** argv, Arguments& arguments) {
    if (argc != 7) {
        return false;
    }
    arguments.width = std::atoi(argv[1]);
    arguments.height = std::atoi(argv[2]);
    arguments.rate = AVRational{std::atoi(argv[3]), std::atoi(argv[4])};
    arguments.factor = std::atoi(argv[5]);
    const std::string mode = argv[6];
    if (mode == "blend") {
        arguments.mode = lento::MotionMode::Blend;
    } else if (mode == "smooth") {
        arguments.mode = lento::MotionMode::Smooth;
    } else if (mode != "hold") {
        return false;
    }
    return arguments.width > 0 && arguments.height > 0 && arguments.rate.num > 0 &&
           arguments.rate.den > 0 && arguments.factor > 0;
}

lento::FramePtr readPicture(const Arguments& arguments) {
    lento::FramePtr frame = lento::makeFrame();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = arguments.width;
    frame->height = arguments.height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return nullptr;
    }
    for (int index = 0; index < 3; ++index) {
        const int width = index == 0 ? arguments.width : (arguments.width + 1) / 2;
        const int height = index == 0 ? arguments.height : (arguments.height + 1) / 2;
        for (int y = 0; y < height; ++y) {
            if (std::fread(frame->data[index] + y * frame->linesize[index], 1, size_t(width),
                           stdin) != size_t(width)) {
                return nullptr;
            }
        }
    }
    return frame;
}

bool writePicture(const AVFrame& frame) {
    for (int index = 0; index < 3; ++index) {
        const int width = index == 0 ? frame.width : (frame.width + 1) / 2;
        const int height = index == 0 ? frame.height : (frame.height + 1) / 2;
        for (int y = 0; y < height; ++y) {
            if (std::fwrite(frame.data[index] + y * frame.linesize[index], 1, size_t(width),
                            stdout) != size_t(width)) {
                return false;
            }
        }
    }
    return true;
}

// The tick at which source picture `index` starts once slowed.
int64_t slowedTime(int64_t index, const Arguments& arguments) {
    return index * arguments.factor * lento::kVideoTimescale * arguments.rate.den /
           arguments.rate.num;
}

} // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parse(argc, argv, arguments)) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT RATE_NUM RATE_DEN FACTOR hold|blend|smooth\n",
                     argv[0]);
        return 2;
    }
    // The source is evenly spaced: the grid is its own rate.
    const AVRational grid = arguments.rate;
    const int64_t gridPeriod = lento::kVideoTimescale * int64_t(grid.den) / grid.num;
    int64_t written = 0;
    auto write = [&](lento::VideoItem item) {
        // Hold's pictures last whole grid periods here: the source's rate is the grid's.
        const int64_t copies = arguments.mode == lento::MotionMode::Hold
                                   ? (item.duration + gridPeriod / 2) / gridPeriod
                                   : 1;
        for (int64_t copy = 0; copy < copies; ++copy) {
            if (!writePicture(*item.frame)) {
                return false;
            }
            ++written;
        }
        return true;
    };
    lento::FrameStage stage(arguments.mode, grid, write);

    std::chrono::steady_clock::duration spent{};
    auto timed = [&](auto step) {
        const auto start = std::chrono::steady_clock::now();
        const lento::StageOutcome outcome = step();
        spent += std::chrono::steady_clock::now() - start;
        return outcome;
    };
    int64_t read = 0;
    for (lento::FramePtr frame = readPicture(arguments); frame; frame = readPicture(arguments)) {
        const int64_t pts = slowedTime(read, arguments);
        const int64_t duration = slowedTime(read + 1, arguments) - pts;
        ++read;
        const lento::StageOutcome pushed = timed([&] {
            return stage.push(lento::VideoItem{std::move(frame), pts, duration});
        });
        if (!pushed.ok()) {
            std::fprintf(stderr, "bench_motion_stage: %s\n", pushed.message.c_str());
            return 1;
        }
    }
    if (const lento::StageOutcome finished = timed([&] { return stage.finish(); });
        !finished.ok()) {
        std::fprintf(stderr, "bench_motion_stage: %s\n", finished.message.c_str());
        return 1;
    }
    std::fprintf(stderr, "pictures in %lld, out %lld, scene cuts %d, stage %.2f s\n",
                 static_cast<long long>(read), static_cast<long long>(written), stage.sceneCuts(),
                 std::chrono::duration<double>(spent).count());
    return 0;
}
