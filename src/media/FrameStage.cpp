#include "media/FrameStage.h"

#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace lento {

namespace {

constexpr AVRational kMaxGridRate{60, 1};
constexpr AVRational kFallbackRate{30, 1};
// The rates a grid for unevenly spaced pictures keeps to.
constexpr AVRational kGridRates[] = {{24000, 1001}, {24, 1}, {25, 1},       {30000, 1001},
                                     {30, 1},       {50, 1}, {60000, 1001}, {60, 1}};

// A grid time this close to a source picture's shows that picture as it is: the picture's time
// and the grid's are rounded separately, and sources round their stamps (Matroska to the
// millisecond, which slowing makes longer). At least two ticks; at most a sixteenth of the
// time between the picture and its neighbour, well short of any grid period between them.
constexpr int64_t kSameTime = 2;
constexpr int64_t kSameTimeShare = 16;

int64_t sameTimeWithin(int64_t span) {
    return std::max(kSameTime, span / kSameTimeShare);
}

// Below this many pixels a side the reduced luma is too small for the flow's coarsest patch;
// such pairs are cross-faded.
constexpr int kSmallestFlowSide = 16;

// Rounds of the fixed-point search for the source pixel that lands on a made pixel. Two more
// after the first guess settle smooth motion to well under a pixel; more only dither at the
// edges of moving things.
constexpr int kFollowRounds = 2;

// How far (in reduced pixels) the way back may miss the start before a pixel's motion is
// distrusted, and the trust a wholly distrusted side keeps so that a pixel both sides distrust
// falls back to a cross-fade.
constexpr float kRoundTripTolerance = 1.0f;
constexpr float kTrustFloor = 0.05f;

// A picture whose reduced luma differs from its neighbour's by less than this on average (of
// 255) is the same picture shown again: camera noise alone moves it further.
constexpr double kRepeatDifference = 0.25;

// Scene cuts. The share of pixels whose luma lands in another of 32 bins: two shots rarely
// share more than half their histogram, one shot in motion rarely changes a third of it. Shots
// that look alike overall differ in what motion cannot explain: a luma difference (of 255) left
// once one picture is moved onto the other, several times what the shot has shown so far.
// Pictures whose change motion hardly explains (the game of life, flickering water) leave a
// high difference throughout; only a jump above their own level is a cut.
constexpr int kHistogramBins = 32;
constexpr double kCutHistogramChange = 0.5;
constexpr double kCutResidual = 12;
constexpr double kCutResidualJump = 3;
constexpr double kResidualMemory = 0.7; // the weight of the shot's past in its typical level

bool isPositive(AVRational rate) {
    return rate.num > 0 && rate.den > 0;
}

// Whether two rates differ by more than a percent, exactly.
bool differ(AVRational a, AVRational b) {
    const __int128 left = __int128(a.num) * b.den;
    const __int128 right = __int128(b.num) * a.den;
    const __int128 gap = left > right ? left - right : right - left;
    return gap * 100 > right;
}

bool isDeep(const AVFrame& frame) {
    return frame.format == AV_PIX_FMT_YUV420P10;
}

// A plane of an 8-bit or 10-bit 4:2:0 picture, its samples in place: 10-bit samples are 16-bit
// words, so the moving and blending below keep every bit.
cv::Mat plane(const AVFrame& frame, int index) {
    const int width = index == 0 ? frame.width : (frame.width + 1) / 2;
    const int height = index == 0 ? frame.height : (frame.height + 1) / 2;
    return cv::Mat(height, width, isDeep(frame) ? CV_16UC1 : CV_8UC1, frame.data[index],
                   size_t(frame.linesize[index]));
}

// Every pixel's own coordinates, the base that displacements are added to for cv::remap.
cv::Mat coordinateGrid(cv::Size size) {
    cv::Mat grid(size, CV_32FC2);
    for (int y = 0; y < size.height; ++y) {
        auto* row = grid.ptr<cv::Vec2f>(y);
        for (int x = 0; x < size.width; ++x) {
            row[x] = cv::Vec2f(float(x), float(y));
        }
    }
    return grid;
}

// The matrices below are filled in place: cv functions keep a destination's memory when its
// size and type already fit, and fresh memory for every picture cost a third of the stage's
// time in page faults.
void sampleAt(const cv::Mat& image, const cv::Mat& map, cv::Mat& sampled) {
    cv::remap(image, sampled, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
}

// A cv::remap map in the fixed-point form cv::remap turns float maps into before it samples: the
// whole pixel in `whole` (CV_16SC2), the 1/32 steps between pixels in `steps` (CV_16UC1). A map
// that samples several planes is converted once rather than by every cv::remap that reads it.
struct FixedMap {
    cv::Mat whole, steps;
};

void toFixed(const cv::Mat& map, FixedMap& fixed) {
    cv::convertMaps(map, cv::noArray(), fixed.whole, fixed.steps, CV_16SC2);
}

void sampleAt(const cv::Mat& image, const FixedMap& map, cv::Mat& sampled) {
    cv::remap(image, sampled, map.whole, map.steps, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
}

// The samples of one row of a made plane, from the rows of the neighbours a and b, the same rows
// moved along their motion, each side's trust and how still each pixel is: the moved rows weighed
// by their trust, and that blend weighed against the cross-fade of a and b by stillness. Each
// step rounds to the plane's samples, as blending whole planes in turn would.
template <typename Sample>
void blendMadeRow(const Sample* a, const Sample* b, const Sample* movedA, const Sample* movedB,
                  const float* weightA, const float* weightB, const float* still, float fraction,
                  int count, Sample* out) {
    constexpr float kEpsilon = 1e-5f; // keeps a weightless pixel's sum from dividing by zero
    const float fadeA = float(1.0 - double(fraction));
    const float fadeB = fraction;
    int x = 0;
    if constexpr (std::is_same_v<Sample, uint8_t>) {
#if CV_SIMD
        const auto floats = [](const cv::v_uint16& samples, cv::v_float32& low,
                               cv::v_float32& high) {
            cv::v_uint32 lowInts, highInts;
            cv::v_expand(samples, lowInts, highInts);
            low = cv::v_cvt_f32(cv::v_reinterpret_as_s32(lowInts));
            high = cv::v_cvt_f32(cv::v_reinterpret_as_s32(highInts));
        };
        const auto rounded = [](const cv::v_float32& value) {
            return cv::v_cvt_f32(cv::v_round(value));
        };
        const cv::v_float32 epsilon = cv::vx_setall_f32(kEpsilon);
        const cv::v_float32 one = cv::vx_setall_f32(1.0f);
        const cv::v_float32 fadeAs = cv::vx_setall_f32(fadeA);
        const cv::v_float32 fadeBs = cv::vx_setall_f32(fadeB);
        constexpr int kLanes = cv::v_float32::nlanes;
        const auto blend = [&](const cv::v_float32& sampleA, const cv::v_float32& sampleB,
                               const cv::v_float32& sampleMovedA, const cv::v_float32& sampleMovedB,
                               int at) {
            const cv::v_float32 trustA = cv::vx_load(weightA + at);
            const cv::v_float32 trustB = cv::vx_load(weightB + at);
            const cv::v_float32 moving = rounded((sampleMovedA * trustA + sampleMovedB * trustB) /
                                                 (trustA + trustB + epsilon));
            const cv::v_float32 fade = rounded(sampleA * fadeAs + sampleB * fadeBs);
            const cv::v_float32 stillness = cv::vx_load(still + at);
            const cv::v_float32 unmoved = one - stillness;
            return cv::v_round((fade * stillness + moving * unmoved) /
                               (stillness + unmoved + epsilon));
        };
        for (; x + 2 * kLanes <= count; x += 2 * kLanes) {
            cv::v_float32 aLow, aHigh, bLow, bHigh, movedALow, movedAHigh, movedBLow, movedBHigh;
            floats(cv::vx_load_expand(a + x), aLow, aHigh);
            floats(cv::vx_load_expand(b + x), bLow, bHigh);
            floats(cv::vx_load_expand(movedA + x), movedALow, movedAHigh);
            floats(cv::vx_load_expand(movedB + x), movedBLow, movedBHigh);
            const cv::v_int32 low = blend(aLow, bLow, movedALow, movedBLow, x);
            const cv::v_int32 high = blend(aHigh, bHigh, movedAHigh, movedBHigh, x + kLanes);
            cv::v_pack_store(out + x, cv::v_pack_u(low, high));
        }
#endif
    }
    for (; x < count; ++x) {
        const float denominator = weightA[x] + weightB[x] + kEpsilon;
        const float moving = float(cv::saturate_cast<Sample>(
            (float(movedA[x]) * weightA[x] + float(movedB[x]) * weightB[x]) / denominator));
        const float fade =
            float(cv::saturate_cast<Sample>(float(a[x]) * fadeA + float(b[x]) * fadeB));
        const float unmoved = 1.0f - still[x];
        out[x] = cv::saturate_cast<Sample>((fade * still[x] + moving * unmoved) /
                                           (still[x] + unmoved + kEpsilon));
    }
}

// blendMadeRow over whole planes, 8-bit or 16-bit.
void blendMade(const cv::Mat& a, const cv::Mat& b, const cv::Mat& movedA, const cv::Mat& movedB,
               const cv::Mat& weightA, const cv::Mat& weightB, const cv::Mat& still, float fraction,
               cv::Mat& out) {
    const auto rows = [&](auto sample) {
        using Sample = decltype(sample);
        for (int y = 0; y < out.rows; ++y) {
            blendMadeRow(a.ptr<Sample>(y), b.ptr<Sample>(y), movedA.ptr<Sample>(y),
                         movedB.ptr<Sample>(y), weightA.ptr<float>(y), weightB.ptr<float>(y),
                         still.ptr<float>(y), fraction, out.cols, out.ptr<Sample>(y));
        }
    };
    if (out.depth() == CV_8U) {
        rows(uint8_t{});
    } else {
        rows(uint16_t{});
    }
}

// A source picture the stage still needs.
struct Picture {
    FramePtr frame;
    int64_t pts = 0;
    int64_t end = 0;
    MediaTime source; // what the picture shows, along a time map
    cv::Mat luma;     // 8-bit, reduced to the size of the chroma planes: motion is measured on it
    std::array<int, kHistogramBins> histogram{};
};

// The motion between two neighbouring pictures a and b, measured on their reduced luma.
struct PairMotion {
    cv::Mat forward;       // CV_32FC2: where each pixel of a is found in b, as a displacement
    cv::Mat backward;      // the same from b to a
    cv::Mat forwardError;  // CV_32FC1: how far following `forward` then `backward` misses
    cv::Mat backwardError; // the same the other way round
    double residual = 0;   // mean luma difference between a and b once b is moved onto a
};

// The reduced luma width (half the picture's) from which motion is measured a scale coarser: its
// flow grid still has 80 columns, each 8 source pixels wide. Smaller pictures keep the finer
// scale: in 320x240 pictures the coarser one put a moving square over a pixel off its place.
constexpr int kCoarserFlowWidth = 320;

class MotionEstimator {
public:
    // Medium on half-size luma matches the fast preset on full-size luma, for less time. Fewer
    // descent rounds and fewer smoothing rounds than the preset halve its time with the made
    // pictures' PSNR unchanged (within 0.05 dB on the bench's clips). Stopping one scale
    // coarser where pictures are large enough, with patches a little denser to make up for it,
    // takes a further quarter off the stage's time (1.9 to 1.45 s of processor for testsrc2 at
    // x2); PSNR moves by under 0.1 dB but on testsrc2's sharp edges (0.5 dB at x2, 0.3 dB at
    // x4, still above minterpolate's), and gains 0.2 dB on the pan never used for tuning.
    MotionEstimator() : m_flow(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM)) {
        m_flow->setGradientDescentIterations(12);
        m_flow->setPatchStride(3);
        m_flow->setVariationalRefinementIterations(2);
    }

    // Fills `motion`, keeping the memory it holds from an earlier pair.
    void measure(const cv::Mat& a, const cv::Mat& b, const cv::Mat& grid, PairMotion& motion) {
        m_flow->setFinestScale(a.cols >= kCoarserFlowWidth ? 2 : 1);
        m_flow->calc(a, b, motion.forward);
        m_flow->calc(b, a, motion.backward);
        roundTripError(motion.forward, motion.backward, grid, motion.forwardError);
        roundTripError(motion.backward, motion.forward, grid, motion.backwardError);
        cv::add(grid, motion.forward, m_map);
        sampleAt(b, m_map, m_moved);
        // Measured around the mean difference, so that a fade is not taken for a cut.
        cv::subtract(m_moved, a, m_difference, cv::noArray(), CV_32F);
        cv::absdiff(m_difference, cv::mean(m_difference), m_difference);
        motion.residual = cv::mean(m_difference)[0];
    }

private:
    void roundTripError(const cv::Mat& there, const cv::Mat& back, const cv::Mat& grid,
                        cv::Mat& error) {
        cv::add(grid, there, m_map);
        sampleAt(back, m_map, m_missed);
        cv::add(m_missed, there, m_missed);
        cv::split(m_missed, m_parts);
        cv::magnitude(m_parts[0], m_parts[1], error);
    }

    cv::Ptr<cv::DISOpticalFlow> m_flow;
    cv::Mat m_map, m_missed, m_parts[2], m_moved, m_difference;
};

// The displacement from each made pixel, at `fraction` of the way along `flow`, back to the
// pixel of the flow's starting picture that lands there: the p with p + fraction * flow(p) = x,
// found by fixed-point rounds from the guess that the flow at x is the flow at p. Leaves the
// cv::remap map to p in `map`.
void followBack(const cv::Mat& flow, float fraction, const cv::Mat& grid, cv::Mat& displacement,
                cv::Mat& map) {
    flow.convertTo(displacement, -1, -fraction);
    for (int round = 0; round < kFollowRounds; ++round) {
        cv::add(grid, displacement, map);
        sampleAt(flow, map, displacement);
        displacement.convertTo(displacement, -1, -fraction);
    }
    cv::add(grid, displacement, map);
}

// How much a side's picture is trusted at each made pixel: its share of the time, lowered
// where its motion does not come back to where it started (the pixel is hidden on the other
// side, or the flow is wrong there).
void trust(const cv::Mat& roundTripError, const FixedMap& map, float share, cv::Mat& weight) {
    sampleAt(roundTripError, map, weight);
    cv::multiply(weight, weight, weight, 1.0 / (kRoundTripTolerance * kRoundTripTolerance));
    cv::add(weight, cv::Scalar(1.0), weight);
    cv::divide(share, weight, weight);
    cv::add(weight, cv::Scalar(share * kTrustFloor), weight);
}

// The full-size luma is moved and blended this many rows at a time, so that the maps, weights
// and moved pictures it takes cost a band's memory, not a picture's: at 4K the stage alone
// peaked at 815 MB with them whole, at 435 MB in bands.
constexpr int kLumaBand = 64;

// The rows `rows` of the float field `small` brought up to `size`, into `band`: the values
// cv::resize gives with linear interpolation (the same horizontal pass, then the same vertical
// weights and edge rows), for a band only. `wide` keeps the source rows brought to full width.
void upsampleRows(const cv::Mat& small, cv::Size size, cv::Range rows, cv::Mat& wide,
                  cv::Mat& band) {
    const double scaleY = 1.0 / (double(size.height) / small.rows);
    const auto sourceRow = [&](int y) {
        const float at = float((y + 0.5) * scaleY - 0.5);
        return cvFloor(at);
    };
    const int first = std::clamp(sourceRow(rows.start), 0, small.rows - 1);
    const int last = std::clamp(sourceRow(rows.end - 1) + 1, 0, small.rows - 1);
    cv::resize(small.rowRange(first, last + 1), wide, cv::Size(size.width, last + 1 - first), 0, 0,
               cv::INTER_LINEAR);
    band.create(rows.size(), size.width, small.type());
    const int values = size.width * small.channels();
    for (int y = rows.start; y < rows.end; ++y) {
        float fraction = float((y + 0.5) * scaleY - 0.5);
        const int above = cvFloor(fraction);
        fraction -= float(above);
        const float* top = wide.ptr<float>(std::clamp(above, 0, small.rows - 1) - first);
        const float* bottom = wide.ptr<float>(std::clamp(above + 1, 0, small.rows - 1) - first);
        auto* to = band.ptr<float>(y - rows.start);
        const float upper = 1.0f - fraction;
        int i = 0;
#if CV_SIMD
        const cv::v_float32 upperWeight = cv::vx_setall_f32(upper);
        const cv::v_float32 lowerWeight = cv::vx_setall_f32(fraction);
        for (; i + cv::v_float32::nlanes <= values; i += cv::v_float32::nlanes) {
            cv::v_store(to + i,
                        cv::vx_load(top + i) * upperWeight + cv::vx_load(bottom + i) * lowerWeight);
        }
#endif
        for (; i < values; ++i) {
            to[i] = top[i] * upper + bottom[i] * fraction;
        }
    }
}

// The first rows.size() rows of `whole`, which is made a full band of `type` pixels `width` wide
// if it is not one already: the last band of a picture is often shorter, and reallocating for it
// would fault the memory in anew for every picture.
cv::Mat band(cv::Mat& whole, cv::Range rows, int width, int type) {
    whole.create(kLumaBand, width, type);
    return whole.rowRange(0, rows.size());
}

// The rows `rows` of a displacement field measured on the reduced picture, brought to `size`
// as a cv::remap map; `wide` and `scaled` are scratch.
void fullSizeMap(const cv::Mat& displacement, cv::Size size, cv::Range rows, cv::Mat& wide,
                 cv::Mat& scaled, FixedMap& map) {
    upsampleRows(displacement, size, rows, wide, scaled);
    const float scaleX = float(size.width) / float(displacement.cols);
    const float scaleY = float(size.height) / float(displacement.rows);
    constexpr int kSteps = cv::INTER_TAB_SIZE;
    for (int y = rows.start; y < rows.end; ++y) {
        const auto* from = scaled.ptr<cv::Vec2f>(y - rows.start);
        auto* whole = map.whole.ptr<cv::Vec2s>(y - rows.start);
        auto* steps = map.steps.ptr<uint16_t>(y - rows.start);
        int x = 0;
#if CV_SIMD
        // The same sums and roundings, a vector of pixels at a time.
        constexpr int kLanes = cv::v_float32::nlanes;
        const cv::v_float32 stepsPerPixel = cv::vx_setall_f32(float(kSteps));
        const cv::v_float32 scaleXs = cv::vx_setall_f32(scaleX);
        const cv::v_float32 scaleYs = cv::vx_setall_f32(scaleY);
        const cv::v_float32 row = cv::vx_setall_f32(float(y));
        const cv::v_int32 fractionMask = cv::vx_setall_s32(kSteps - 1);
        float lanes[kLanes];
        for (int lane = 0; lane < kLanes; ++lane) {
            lanes[lane] = float(lane);
        }
        const cv::v_float32 laneOffsets = cv::vx_load(lanes);
        const auto fixedPoint = [&](int at, cv::v_int32& fixedX, cv::v_int32& fixedY) {
            cv::v_float32 dx, dy;
            cv::v_load_deinterleave(&from[at][0], dx, dy);
            const cv::v_float32 column = cv::vx_setall_f32(float(at)) + laneOffsets;
            fixedX = cv::v_round((column + dx * scaleXs) * stepsPerPixel);
            fixedY = cv::v_round((row + dy * scaleYs) * stepsPerPixel);
        };
        for (; x + 2 * kLanes <= size.width; x += 2 * kLanes) {
            cv::v_int32 x0, y0, x1, y1;
            fixedPoint(x, x0, y0);
            fixedPoint(x + kLanes, x1, y1);
            const cv::v_int16 wholeX = cv::v_pack(x0 >> cv::INTER_BITS, x1 >> cv::INTER_BITS);
            const cv::v_int16 wholeY = cv::v_pack(y0 >> cv::INTER_BITS, y1 >> cv::INTER_BITS);
            cv::v_store_interleave(&whole[x][0], wholeX, wholeY);
            const cv::v_int32 steps0 =
                ((y0 & fractionMask) << cv::INTER_BITS) + (x0 & fractionMask);
            const cv::v_int32 steps1 =
                ((y1 & fractionMask) << cv::INTER_BITS) + (x1 & fractionMask);
            cv::v_store(steps + x, cv::v_reinterpret_as_u16(cv::v_pack(steps0, steps1)));
        }
#endif
        for (; x < size.width; ++x) {
            // Rounded as cv::remap rounds a float map.
            const int atX = cv::saturate_cast<int>((float(x) + from[x][0] * scaleX) * kSteps);
            const int atY = cv::saturate_cast<int>((float(y) + from[x][1] * scaleY) * kSteps);
            whole[x] = cv::Vec2s(cv::saturate_cast<short>(atX >> cv::INTER_BITS),
                                 cv::saturate_cast<short>(atY >> cv::INTER_BITS));
            steps[x] = uint16_t((atY & (kSteps - 1)) * kSteps + (atX & (kSteps - 1)));
        }
    }
}

// What making one picture needs besides its inputs, kept from picture to picture.
struct MakingScratch {
    cv::Mat displacementA, displacementB, mapA, mapB, weightA, weightB;
    FixedMap fixedA, fixedB; // mapA and mapB, for every plane they sample
    // A band of the full-size luma's.
    cv::Mat widened, scaled, fullWeightA, fullWeightB, still, movedA, movedB;
    FixedMap fullMapA, fullMapB;
    // The reduced luma's (8-bit whatever the depth) and the chroma's.
    cv::Mat difference, reducedMovedA, reducedMovedB;
    cv::Mat halfMovedA, halfMovedB, halfStill, halfUnmoved;
};

// The side of the square over which the moved pictures' disagreement is weighed against the
// pictures' own difference: about a thirtieth of the reduced luma's width (13 pixels at 384).
int stillnessWindow(int width) {
    return std::max(3, (width / 30) | 1);
}

// How much more the pictures' own difference weighs than the moved pictures' disagreement. The
// cross-fade leaves a faint copy of a moving thing on the ground it uncovers; at three times
// that copy stays too faint to move a moving square's outline (at two it shifts it by a pixel),
// for under 0.1 dB of the fall-back's 0.4 to 0.7 dB on filmed footage.
constexpr double kStillnessWeight = 3.0;

// The difference between two planes at each pixel, averaged over the window and squared.
void windowedDifference(const cv::Mat& a, const cv::Mat& b, int window, cv::Mat& difference,
                        cv::Mat& out) {
    cv::absdiff(a, b, difference);
    cv::boxFilter(difference, out, CV_32F, cv::Size(window, window));
    cv::multiply(out, out, out);
}

// A made picture with the times and properties of `like`.
FramePtr madeLike(PicturePool& pool, const AVFrame& like) {
    FramePtr output = pool.take(like.width, like.height, static_cast<AVPixelFormat>(like.format));
    if (!output || av_frame_copy_props(output.get(), &like) < 0) {
        throw std::bad_alloc();
    }
    return output;
}

FramePtr reference(const AVFrame& frame) {
    FramePtr copy(av_frame_clone(&frame));
    if (!copy) {
        throw std::bad_alloc();
    }
    return copy;
}

} // namespace

namespace {

// The rate a stream states: the nominal one, or the average where the stream's pictures come at
// a variable rate.
AVRational statedRate(AVRational nominal, AVRational average) {
    AVRational rate = kFallbackRate;
    if (isPositive(nominal)) {
        rate = nominal;
    }
    // A stream whose pictures come at a variable rate gives the finest tick of its timestamps
    // as its nominal rate (phones write 90000 or 120); rates a percent apart are one rate
    // written two ways (30000/1001 and 2997/100).
    if (isPositive(average) && (!isPositive(nominal) || differ(nominal, average))) {
        rate = average;
    }
    return rate;
}

// The usual rate nearest `rate`, comparing their ratio.
AVRational nearestUsualRate(AVRational rate) {
    AVRational nearest = kGridRates[0];
    double best = std::numeric_limits<double>::infinity();
    for (AVRational usual : kGridRates) {
        const double distance = std::abs(std::log(av_q2d(rate) / av_q2d(usual)));
        if (distance < best) {
            best = distance;
            nearest = usual;
        }
    }
    return nearest;
}

} // namespace

AVRational motionFrameRate(const AssetTrack& track) {
    const PictureSpacing& spacing = track.pictureSpacing;
    AVRational rate{0, 1};
    if (!isPositive(spacing.spacing)) {
        rate = statedRate(track.nominalRate, track.averageRate);
        if (av_cmp_q(rate, kMaxGridRate) > 0) {
            rate = kMaxGridRate;
        }
    } else if (!spacing.even) {
        rate = nearestUsualRate(av_inv_q(spacing.spacing));
    } else {
        rate = av_inv_q(spacing.spacing);
        // Every n-th picture, n as small as keeps the grid within 60 fps.
        const int64_t every =
            (int64_t(rate.num) * kMaxGridRate.den + int64_t(rate.den) * kMaxGridRate.num - 1) /
            (int64_t(rate.den) * kMaxGridRate.num);
        if (every > 1) {
            rate = av_div_q(rate, AVRational{int(every), 1});
        }
    }
    av_reduce(&rate.num, &rate.den, rate.num, rate.den, INT32_MAX);
    return rate;
}

class FrameStage::Engine {
public:
    Engine(MotionMode mode, AVRational frameRate, Emit emit, PicturePool* pool,
           SourcePosition sourceAt)
        : m_mode(mode), m_rate(isPositive(frameRate) ? frameRate : kFallbackRate),
          m_emit(std::move(emit)), m_sourceAt(std::move(sourceAt)),
          m_pool(pool != nullptr ? *pool : m_ownPool) {
        if (m_mode == MotionMode::Smooth) {
            // The stage keeps two threads busy, one measuring motion and one moving pictures,
            // and x264 wants every core it can get: OpenCV's own loops run in the thread that
            // calls them rather than starting a pool that would fight both.
            static std::once_flag sized;
            std::call_once(sized, [] { cv::setNumThreads(1); });
            m_estimator.emplace();
        }
    }

    StageOutcome push(VideoItem item) {
        // Holding passes any picture on as it is; only made pictures need 4:2:0.
        if (m_mode == MotionMode::Hold) {
            return m_emit(std::move(item)) ? StageOutcome::succeeded() : StageOutcome::stopped();
        }
        std::string error;
        if (!accepts(item, error)) {
            return StageOutcome::failed(error);
        }
        if (m_held.empty()) {
            m_start = m_anchor = item.pts;
            m_reducedGrid = coordinateGrid(plane(*item.frame, 1).size());
        }
        m_held.push_back(prepare(std::move(item)));
        if (m_held.size() == 3 && m_nextGrid == 0) {
            alignGrid(m_held[0], m_held[1], m_held[2]);
        }
        std::optional<PairMotion> motion = collectMotion();
        if (m_held.size() >= 2) {
            startMeasuring(m_held[m_held.size() - 2], m_held.back());
        }
        if (m_held.size() == 3) {
            const bool going = emitPair(m_held[0], m_held[1], motion);
            m_held.pop_front();
            recycle(motion);
            if (!going) {
                return StageOutcome::stopped();
            }
        }
        return StageOutcome::succeeded();
    }

    StageOutcome finish() {
        if (m_mode == MotionMode::Hold || m_held.empty()) {
            return StageOutcome::succeeded();
        }
        std::optional<PairMotion> motion = collectMotion();
        if (m_held.size() == 2) {
            const bool going = emitPair(m_held[0], m_held[1], motion);
            m_held.pop_front();
            recycle(motion);
            if (!going) {
                return StageOutcome::stopped();
            }
        }
        const Picture& last = m_held.front();
        for (int64_t time = gridTime(m_nextGrid); time < last.end; time = gridTime(++m_nextGrid)) {
            if (!passesOver(m_nextGrid) && !emit(VideoItem{reference(*last.frame), time, 0})) {
                return StageOutcome::stopped();
            }
        }
        if (m_pending.frame) {
            m_pending.duration = std::max<int64_t>(1, last.end - m_pending.pts);
            if (!m_emit(std::move(m_pending))) {
                return StageOutcome::stopped();
            }
        }
        m_held.clear();
        return StageOutcome::succeeded();
    }

    int sceneCuts() const { return m_sceneCuts; }

    void passBefore(int64_t time) { m_passBefore = time; }

private:
    bool accepts(const VideoItem& item, std::string& error) {
        if (!item.frame || (item.frame->format != AV_PIX_FMT_YUV420P && !isDeep(*item.frame))) {
            error = "the frame stage takes yuv420p or yuv420p10 pictures";
            return false;
        }
        if (m_width == 0) {
            m_width = item.frame->width;
            m_height = item.frame->height;
            m_format = item.frame->format;
        } else if (item.frame->width != m_width || item.frame->height != m_height ||
                   item.frame->format != m_format) {
            error = "the frame stage takes pictures of one size and format";
            return false;
        }
        if (m_lastPts && item.pts <= *m_lastPts) {
            error = "the frame stage takes pictures in time order";
            return false;
        }
        m_lastPts = item.pts;
        return true;
    }

    Picture prepare(VideoItem item) {
        Picture picture;
        picture.pts = item.pts;
        picture.end = item.pts + std::max<int64_t>(1, item.duration);
        picture.source = item.source;
        if (isDeep(*item.frame)) {
            // Motion and cuts are judged on 8 bits whatever the depth: the flow takes 8-bit
            // pictures, and the cut thresholds are in 8-bit steps.
            cv::resize(plane(*item.frame, 0), m_deepLuma, m_reducedGrid.size(), 0, 0,
                       cv::INTER_AREA);
            m_deepLuma.convertTo(picture.luma, CV_8U, 1.0 / 4.0);
        } else {
            cv::resize(plane(*item.frame, 0), picture.luma, m_reducedGrid.size(), 0, 0,
                       cv::INTER_AREA);
        }
        for (int y = 0; y < picture.luma.rows; ++y) {
            const uint8_t* row = picture.luma.ptr<uint8_t>(y);
            for (int x = 0; x < picture.luma.cols; ++x) {
                ++picture.histogram[row[x] * kHistogramBins / 256];
            }
        }
        picture.frame = std::move(item.frame);
        return picture;
    }

    // Grid times are rounded to whole ticks from the exact rational, so that they never drift.
    // The first is the first picture's own.
    int64_t gridTime(int64_t index) const {
        return index == 0 ? m_start : m_anchor + gridOffset(index);
    }

    int64_t gridOffset(int64_t index) const {
        const __int128 scaled = __int128(index) * kVideoTimescale * m_rate.den;
        return int64_t((2 * scaled + m_rate.num) / (2 * __int128(m_rate.num)));
    }

    // Whole grid periods before `time`, within the pictures' rounding, at least one.
    int64_t periodsIn(int64_t time, int64_t same) const {
        return std::max<int64_t>(1, int64_t(__int128(time + same) * m_rate.num /
                                            (__int128(kVideoTimescale) * m_rate.den)));
    }

    bool isWholePeriods(int64_t time, int64_t same) const {
        return std::abs(gridOffset(periodsIn(time, same)) - time) <= same;
    }

    // Where the first picture was placed between source pictures (a section starting between
    // two) and those after it keep to the grid's spacing, the grid runs through the second one
    // rather than the first, so that the later ones fall on it: the first picture then lasts
    // less than a period, or up to two.
    void alignGrid(const Picture& a, const Picture& b, const Picture& c) {
        const int64_t first = b.pts - a.pts;
        const int64_t second = c.pts - b.pts;
        if (isWholePeriods(second, sameTimeWithin(second)) &&
            !isWholePeriods(first, sameTimeWithin(first))) {
            m_anchor = b.pts - gridOffset(periodsIn(first, sameTimeWithin(first)));
        }
    }

    int64_t firstGridIndexAfter(int64_t time) const {
        int64_t index = std::max<int64_t>(0, int64_t(__int128(time - m_anchor) * m_rate.num /
                                                     (__int128(kVideoTimescale) * m_rate.den)));
        while (index > 0 && gridTime(index - 1) > time) {
            --index;
        }
        while (gridTime(index) <= time) {
            ++index;
        }
        return index;
    }

    // Whether the grid's picture `index` ends by the time pictures are passed over before.
    bool passesOver(int64_t index) const { return gridTime(index + 1) <= m_passBefore; }

    // Whether every picture between a and b ends by then, with two periods to spare for the
    // grid's anchor, which the third picture may still move.
    bool passesOver(const Picture& a, const Picture& b) const {
        return b.pts >= a.pts && b.pts + gridOffset(2) <= m_passBefore;
    }

    // Motion is measured only where a picture will be made between the two.
    void startMeasuring(const Picture& a, const Picture& b) {
        const int64_t same = sameTimeWithin(b.pts - a.pts);
        if (m_mode != MotionMode::Smooth || passesOver(a, b) ||
            gridTime(firstGridIndexAfter(a.pts + same)) >= b.pts - same ||
            a.luma.cols < kSmallestFlowSide || a.luma.rows < kSmallestFlowSide) {
            return;
        }
        m_measuring = std::async(std::launch::async, [this, first = a.luma, second = b.luma,
                                                      motion = std::move(m_spareMotion)]() mutable {
            m_estimator->measure(first, second, m_reducedGrid, motion);
            return std::move(motion);
        });
    }

    // A pair's motion, once its pictures are made, lends its memory to a later pair.
    void recycle(std::optional<PairMotion>& motion) {
        if (motion) {
            m_spareMotion = std::move(*motion);
        }
    }

    std::optional<PairMotion> collectMotion() {
        if (!m_measuring.valid()) {
            return std::nullopt;
        }
        return m_measuring.get();
    }

    double histogramChange(const Picture& a, const Picture& b) const {
        int64_t moved = 0;
        for (int bin = 0; bin < kHistogramBins; ++bin) {
            moved += std::abs(a.histogram[bin] - b.histogram[bin]);
        }
        return double(moved) / (2.0 * double(a.luma.total()));
    }

    bool isSceneCut(const Picture& a, const Picture& b, const std::optional<PairMotion>& motion) {
        // A flash or a fade changes the histogram as a cut does, but moving one picture onto
        // the other leaves little beyond the change of brightness: Smooth moves the pictures
        // and cross-fades the brightness, the least wrong guess where the change came.
        if (histogramChange(a, b) > kCutHistogramChange &&
            (!motion || motion->residual > kCutResidual)) {
            m_shotResidual.reset();
            return true;
        }
        if (!motion) {
            return false;
        }
        const double residual = motion->residual;
        if (m_shotResidual && residual > kCutResidual &&
            residual > kCutResidualJump * *m_shotResidual) {
            m_shotResidual.reset();
            return true;
        }
        m_shotResidual = m_shotResidual
                             ? kResidualMemory * *m_shotResidual + (1 - kResidualMemory) * residual
                             : residual;
        return false;
    }

    // Emits the grid's pictures from a's time up to b's.
    bool emitPair(const Picture& a, const Picture& b, const std::optional<PairMotion>& motion) {
        const int64_t span = b.pts - a.pts;
        const int64_t same = sameTimeWithin(span);
        if (gridTime(m_nextGrid) >= b.pts - same) {
            return true;
        }
        if (passesOver(a, b)) {
            // None of the pair's pictures is wanted: it is neither measured nor judged.
            m_repeatBefore = isRepeat(a, b);
            while (gridTime(m_nextGrid) < b.pts - same) {
                ++m_nextGrid;
            }
            return true;
        }
        // Where a cut came between two pictures is unknown. Blend shows the side nearer in
        // time; Smooth cross-fades the two, unmoved, over the middle of the pair (see
        // laterShareAcrossCut).
        const bool cut = isSceneCut(a, b, motion);
        m_sceneCuts += cut ? 1 : 0;
        // A source that shows each picture more than once (a webcam short of light, animation
        // drawn on twos) moves in steps: between two different pictures next to a repeated
        // one the change came at one moment, unknown, and a cross-fade is the closest guess
        // where moving the pictures along would show places the source never had.
        const bool repeated = isRepeat(a, b);
        const bool stepwise =
            !repeated && (m_repeatBefore || (m_held.size() == 3 && isRepeat(m_held[1], m_held[2])));
        m_repeatBefore = repeated;
        for (int64_t time = gridTime(m_nextGrid); time < b.pts - same;
             time = gridTime(++m_nextGrid)) {
            if (passesOver(m_nextGrid)) {
                continue;
            }
            const int64_t into = time - a.pts;
            FramePtr frame;
            if (into <= same) {
                frame = reference(*a.frame);
            } else if (cut && m_mode == MotionMode::Smooth) {
                const float later = laterShareAcrossCut(fractionAt(a, b, time));
                frame = later <= 0.0f   ? reference(*a.frame)
                        : later >= 1.0f ? reference(*b.frame)
                                        : make(a, b, later, std::nullopt);
            } else if (cut) {
                frame = reference(2 * into < span ? *a.frame : *b.frame);
            } else {
                frame = make(a, b, fractionAt(a, b, time), stepwise ? std::nullopt : motion);
            }
            if (!emit(VideoItem{std::move(frame), time, 0})) {
                return false;
            }
        }
        return true;
    }

    // How much of the later picture Smooth shows at `fraction` of the way across a cut. Were
    // every place in the pair as likely for the cut, the picture at fraction f would belong to
    // the later shot with chance f, and a cross-fade in that proportion would err least on
    // average; but where a cut comes near the middle the nearer side alone is right, and the
    // full fade errs there. So the fade runs over the middle two thirds of the pair only, each
    // side shown alone in the sixth nearest it, half and half at the midpoint. Five shots cut
    // at varied places: x4 28.39 -> 28.62 dB, x8 24.91 -> 25.66 dB against the nearer side (the
    // full proportional fade: 28.61 and 25.82 dB, but a tree through a window, slowed x4, fell
    // 34.42 -> 34.36 dB at its one change, which came mid-pair; here 34.41 dB).
    static float laterShareAcrossCut(float fraction) {
        return std::clamp((3.0f * fraction - 0.5f) / 2.0f, 0.0f, 1.0f);
    }

    // How far between a and b the picture made for `time` lies: by the source times the map
    // shows, where there is one, otherwise by the output times.
    float fractionAt(const Picture& a, const Picture& b, int64_t time) const {
        if (m_sourceAt && a.source.isNumeric() && b.source.isNumeric() && a.source < b.source) {
            const MediaTime at = m_sourceAt(time);
            if (at.isNumeric()) {
                const double fraction = (at - a.source).seconds() / (b.source - a.source).seconds();
                return float(std::clamp(fraction, 0.0, 1.0));
            }
        }
        return float(double(time - a.pts) / double(b.pts - a.pts));
    }

    static bool isRepeat(const Picture& a, const Picture& b) {
        return cv::norm(a.luma, b.luma, cv::NORM_L1) < kRepeatDifference * double(a.luma.total());
    }

    FramePtr make(const Picture& a, const Picture& b, float fraction,
                  const std::optional<PairMotion>& motion) {
        FramePtr made = madeLike(m_pool, *a.frame);
        if (motion) {
            moveAndBlend(a, b, fraction, *motion, *made);
        } else {
            for (int index = 0; index < 3; ++index) {
                cv::Mat out = plane(*made, index);
                cv::addWeighted(plane(*a.frame, index), 1.0 - fraction, plane(*b.frame, index),
                                fraction, 0.0, out);
            }
        }
        return made;
    }

    // Both neighbours moved to the made picture's time, plane by plane in YUV, and blended by
    // how far each is in time and how much its motion is trusted there. Where the two moved
    // pictures disagree, over a window, more than the two pictures do in place, the motion is
    // wrong there (the coarse flow of a passer-by spilling onto the still ground around them,
    // noise taken for motion): the pixel falls back to the cross-fade, by the ratio of the two
    // differences. On filmed footage all of Smooth's loss to minterpolate was on still ground.
    void moveAndBlend(const Picture& a, const Picture& b, float fraction, const PairMotion& motion,
                      AVFrame& made) {
        MakingScratch& s = m_scratch;
        followBack(motion.forward, fraction, m_reducedGrid, s.displacementA, s.mapA);
        followBack(motion.backward, 1.0f - fraction, m_reducedGrid, s.displacementB, s.mapB);
        toFixed(s.mapA, s.fixedA);
        toFixed(s.mapB, s.fixedB);
        trust(motion.forwardError, s.fixedA, 1.0f - fraction, s.weightA);
        trust(motion.backwardError, s.fixedB, fraction, s.weightB);

        // Where the fall-back leans to the cross-fade is judged on the reduced luma, over a
        // window a thirtieth of its width: the moved pictures' disagreement against the
        // pictures' own difference in place.
        const int window = stillnessWindow(a.luma.cols);
        if (m_stillnessAt != a.pts) {
            windowedDifference(a.luma, b.luma, window, s.difference, m_stillness);
            m_stillnessAt = a.pts;
        }
        sampleAt(a.luma, s.fixedA, s.reducedMovedA);
        sampleAt(b.luma, s.fixedB, s.reducedMovedB);
        windowedDifference(s.reducedMovedA, s.reducedMovedB, window, s.difference, s.halfStill);
        cv::scaleAdd(m_stillness, kStillnessWeight, s.halfStill, s.halfUnmoved);
        cv::add(s.halfUnmoved, cv::Scalar(1.0), s.halfUnmoved);
        cv::divide(s.halfStill, s.halfUnmoved, s.halfStill);

        // The full-size luma is moved and blended a band of rows at a time.
        const cv::Size full(made.width, made.height);
        const cv::Mat lumaA = plane(*a.frame, 0);
        const cv::Mat lumaB = plane(*b.frame, 0);
        cv::Mat luma = plane(made, 0);
        for (int top = 0; top < full.height; top += kLumaBand) {
            const cv::Range rows(top, std::min(full.height, top + kLumaBand));
            FixedMap mapA{band(s.fullMapA.whole, rows, full.width, CV_16SC2),
                          band(s.fullMapA.steps, rows, full.width, CV_16UC1)};
            FixedMap mapB{band(s.fullMapB.whole, rows, full.width, CV_16SC2),
                          band(s.fullMapB.steps, rows, full.width, CV_16UC1)};
            cv::Mat scaled = band(s.scaled, rows, full.width, CV_32FC2);
            cv::Mat weightA = band(s.fullWeightA, rows, full.width, CV_32FC1);
            cv::Mat weightB = band(s.fullWeightB, rows, full.width, CV_32FC1);
            cv::Mat still = band(s.still, rows, full.width, CV_32FC1);
            fullSizeMap(s.displacementA, full, rows, s.widened, scaled, mapA);
            fullSizeMap(s.displacementB, full, rows, s.widened, scaled, mapB);
            upsampleRows(s.weightA, full, rows, s.widened, weightA);
            upsampleRows(s.weightB, full, rows, s.widened, weightB);
            upsampleRows(s.halfStill, full, rows, s.widened, still);
            cv::Mat movedA = band(s.movedA, rows, full.width, lumaA.type());
            cv::Mat movedB = band(s.movedB, rows, full.width, lumaA.type());
            sampleAt(lumaA, mapA, movedA);
            sampleAt(lumaB, mapB, movedB);
            cv::Mat out = luma.rowRange(rows);
            blendMade(lumaA.rowRange(rows), lumaB.rowRange(rows), movedA, movedB, weightA, weightB,
                      still, fraction, out);
        }

        for (int index = 1; index < 3; ++index) {
            const cv::Mat chromaA = plane(*a.frame, index);
            const cv::Mat chromaB = plane(*b.frame, index);
            sampleAt(chromaA, s.fixedA, s.halfMovedA);
            sampleAt(chromaB, s.fixedB, s.halfMovedB);
            cv::Mat out = plane(made, index);
            blendMade(chromaA, chromaB, s.halfMovedA, s.halfMovedB, s.weightA, s.weightB,
                      s.halfStill, fraction, out);
        }
    }

    // Output pictures leave one behind: each lasts until the next starts.
    bool emit(VideoItem item) {
        if (m_pending.frame) {
            m_pending.duration = item.pts - m_pending.pts;
            if (!m_emit(std::move(m_pending))) {
                return false;
            }
        }
        m_pending = std::move(item);
        return true;
    }

    MotionMode m_mode;
    AVRational m_rate;
    Emit m_emit;
    SourcePosition m_sourceAt;
    int m_width = 0;
    int m_height = 0;
    int m_format = AV_PIX_FMT_NONE;
    std::optional<int64_t> m_lastPts;
    int64_t m_start = 0;  // the first picture's time
    int64_t m_anchor = 0; // where the grid's index 0 would lie, were it not the first picture's
    int64_t m_nextGrid = 0;
    // Grid pictures that end by it are passed over.
    int64_t m_passBefore = std::numeric_limits<int64_t>::min();
    cv::Mat m_reducedGrid;
    cv::Mat m_deepLuma; // a 10-bit luma reduced, before it drops to 8 bits
    // The pictures whose span of the grid is not emitted yet: the pair being made and the
    // picture after it, whose motion is being measured.
    std::deque<Picture> m_held;
    VideoItem m_pending;
    int m_sceneCuts = 0;
    bool m_repeatBefore = false; // the pair before the current one shows one picture twice
    // The current pair's own windowed luma difference, measured when its first picture is made.
    std::optional<int64_t> m_stillnessAt;
    cv::Mat m_stillness;
    // The typical luma difference that motion leaves in the current shot, once known.
    std::optional<double> m_shotResidual;
    PicturePool m_ownPool;
    PicturePool& m_pool;
    std::optional<MotionEstimator> m_estimator;
    PairMotion m_spareMotion;
    MakingScratch m_scratch;
    // Last, so that a measurement still running ends before what it reads goes.
    std::future<PairMotion> m_measuring;
};

FrameStage::FrameStage(MotionMode mode, AVRational frameRate, Emit emit, PicturePool* pool,
                       SourcePosition sourceAt)
    : m_engine(
          std::make_unique<Engine>(mode, frameRate, std::move(emit), pool, std::move(sourceAt))) {}

FrameStage::~FrameStage() = default;

StageOutcome FrameStage::push(VideoItem picture) {
    try {
        return m_engine->push(std::move(picture));
    } catch (const std::exception& failure) {
        return StageOutcome::failed(std::string("cannot make the pictures: ") + failure.what());
    }
}

StageOutcome FrameStage::finish() {
    try {
        return m_engine->finish();
    } catch (const std::exception& failure) {
        return StageOutcome::failed(std::string("cannot make the pictures: ") + failure.what());
    }
}

void FrameStage::passBefore(int64_t time) {
    m_engine->passBefore(time);
}

int FrameStage::sceneCuts() const {
    return m_engine->sceneCuts();
}

} // namespace lento
