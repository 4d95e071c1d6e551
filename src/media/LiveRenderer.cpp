#include "media/LiveRenderer.h"

#include "media/FrameStage.h"
#include "media/PictureRenderer.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>

namespace lento {

namespace {

// Pictures made ahead may take this much memory: six at 4K.
constexpr size_t kAheadBytes = 96u << 20;

int64_t ticksOf(MediaTime time) {
    return time.convertScale(kVideoTimescale).value;
}

MediaTime timeOfTicks(int64_t ticks) {
    return MediaTime::make(ticks, kVideoTimescale);
}

int even(int64_t value) {
    return static_cast<int>(std::max<int64_t>(2, value - value % 2));
}

// One frame stage shows a stretch of segments with one motion and one grid rate, as the
// export's picture renderer starts a new stage only where those change.
bool sharesStage(const PlacedSegment& a, const PlacedSegment& b) {
    if (a.motion != b.motion) {
        return false;
    }
    return a.motion == MotionMode::Hold ||
           av_cmp_q(motionFrameRate(a.source), motionFrameRate(b.source)) == 0;
}

// The grid's offset `index` periods on at `rate`, rounded to a tick as the frame stage rounds it.
int64_t gridOffset(int64_t index, AVRational rate) {
    const __int128 scaled = __int128(index) * kVideoTimescale * rate.den;
    return int64_t((2 * scaled + rate.num) / (2 * __int128(rate.num)));
}

// Joins the worker of a run once it has ended; false while it runs.
template <typename Run> bool joinedIfEnded(const std::unique_ptr<Run>& run) {
    if (!run->done) {
        return false;
    }
    if (run->worker.joinable()) {
        run->worker.join();
    }
    return true;
}

// Whole periods at `rate` in `ticks`.
int64_t periodsIn(int64_t ticks, AVRational rate) {
    return int64_t(__int128(ticks) * rate.num / (__int128(kVideoTimescale) * rate.den));
}

// The output time, in ticks, of the source picture of `segment` on show at output time `at`,
// were the source's pictures evenly `rate` apart from its start; -1 where that is not known.
int64_t gridPictureOn(const PlacedSegment& segment, int64_t at, AVRational rate) {
    const MediaTime origin = segment.source.timeRange.start;
    if (rate.num <= 0 || !origin.isNumeric()) {
        return -1;
    }
    const MediaTime into = segment.sourceAt(timeOfTicks(at)) - origin;
    if (!into.isNumeric() || into < MediaTime::zero()) {
        return -1;
    }
    const auto index =
        int64_t(__int128(into.value) * rate.num / (__int128(into.timescale) * rate.den));
    const MediaTime picture = origin + MediaTime::make(index * rate.den, rate.num);
    if (picture < segment.sourceRange.start) {
        return -1;
    }
    return ticksOf(segment.targetAt(picture));
}

} // namespace

VideoFormat playingFormat(const AssetTrack& track, int maxWidth) {
    VideoFormat format;
    const int64_t width = std::max(2, track.naturalWidth);
    const int64_t height = std::max(2, track.naturalHeight);
    const int64_t shown = std::min<int64_t>(width, std::max(2, maxWidth));
    format.width = even(shown);
    format.height = even((height * shown + width / 2) / width);
    format.sampleAspect = track.sampleAspect;
    format.pixelFormat = AV_PIX_FMT_YUV420P;
    return format;
}

struct LiveRenderer::Run {
    Run(int64_t start, int64_t from, size_t ahead)
        : start(start), from(from), queue(ahead, kAheadBytes) {}

    const int64_t start; // where its pictures' times count from
    const int64_t from;  // the time asked for; the pictures before it are passed over
    BoundedQueue<VideoItem> queue;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread worker;
};

LiveRenderer::LiveRenderer(std::shared_ptr<const Composition> composition,
                           std::shared_ptr<const ExportPlan> plan, VideoFormat format, size_t ahead)
    : m_composition(std::move(composition)), m_format(format), m_plan(std::move(plan)),
      m_ahead(std::max<size_t>(1, ahead)) {}

LiveRenderer::LiveRenderer(std::shared_ptr<const Composition> composition, VideoFormat format)
    : LiveRenderer(
          composition,
          std::make_shared<const ExportPlan>(planExport(*composition, MediaTimeRange::invalid())),
          format) {}

LiveRenderer::~LiveRenderer() {
    stop();
    leave(m_leaving);
}

namespace {

// Runs whose renderers are gone, until their workers end.
template <typename Run> struct LeftRuns {
    std::mutex mutex;
    std::vector<std::unique_ptr<Run>> runs;

    ~LeftRuns() {
        for (const std::unique_ptr<Run>& run : runs) {
            if (run->worker.joinable()) {
                run->worker.join();
            }
        }
    }
};

} // namespace

void LiveRenderer::leave(std::vector<std::unique_ptr<Run>>& runs) {
    static LeftRuns<Run> left;
    const std::lock_guard lock(left.mutex);
    std::erase_if(left.runs, joinedIfEnded<Run>);
    std::erase_if(runs, joinedIfEnded<Run>);
    std::move(runs.begin(), runs.end(), std::back_inserter(left.runs));
    runs.clear();
}

bool LiveRenderer::makesPictures(const ExportPlan& plan) {
    return std::any_of(plan.video.begin(), plan.video.end(), [](const PlacedSegment& segment) {
        return segment.motion != MotionMode::Hold;
    });
}

bool LiveRenderer::showsSamePictures(const ExportPlan& a, const ExportPlan& b) {
    return a.range == b.range &&
           std::equal(a.video.begin(), a.video.end(), b.video.begin(), b.video.end(),
                      [](const PlacedSegment& x, const PlacedSegment& y) {
                          return x.source.asset == y.source.asset &&
                                 x.source.trackID == y.source.trackID &&
                                 x.sourceRange == y.sourceRange && x.targetRange == y.targetRange &&
                                 x.motion == y.motion && x.timing.map == y.timing.map &&
                                 x.timing.shift == y.timing.shift;
                      });
}

// outputTimeOf and makesPictureAt look up the segment at a time by halving: playback asks every
// few milliseconds, and an edit may hold thousands of segments. The segments lie in output
// order, and show the source in its order (an edit of one video).
MediaTime LiveRenderer::outputTimeOf(MediaTime sourceTime) const {
    const auto& segments = m_plan->video;
    auto found = std::partition_point(
        segments.begin(), segments.end(),
        [sourceTime](const PlacedSegment& s) { return s.sourceRange.end() <= sourceTime; });
    // The source's last time shows at the output's end.
    if (found == segments.end() && !segments.empty() &&
        sourceTime == segments.back().sourceRange.end()) {
        found = std::prev(found);
    }
    if (found == segments.end() || sourceTime < found->sourceRange.start) {
        return MediaTime::invalid();
    }
    // Through a ramp, where its time map puts it.
    return found->targetAt(sourceTime);
}

bool LiveRenderer::makesPictureAt(MediaTime at) const {
    const auto& segments = m_plan->video;
    const auto found =
        std::partition_point(segments.begin(), segments.end(),
                             [at](const PlacedSegment& s) { return s.targetRange.end() <= at; });
    return found != segments.end() && found->targetRange.start <= at &&
           found->motion != MotionMode::Hold;
}

int64_t LiveRenderer::runStartFor(MediaTime from) const {
    const int64_t at = std::clamp<int64_t>(ticksOf(from), 0, ticksOf(m_plan->range.duration));
    const auto& segments = m_plan->video;
    auto found = std::find_if(segments.rbegin(), segments.rend(), [at](const PlacedSegment& s) {
        return ticksOf(s.targetRange.start) <= at;
    });
    if (found == segments.rend() || found->motion == MotionMode::Hold) {
        return at;
    }
    const PlacedSegment& segment = *found;
    // Back to where the export's frame stage for this stretch starts its grid.
    auto first = found;
    while (std::next(first) != segments.rend() && sharesStage(*std::next(first), segment)) {
        ++first;
    }
    const int64_t gridStart = ticksOf(first->targetRange.start);
    // A source picture's span before the time asked for, on the grid: a source picture then lies
    // between the two, and the grid's pictures from it on are made from the neighbours the
    // export makes them from. Those before it, made from the picture on show at the start, are
    // only led through.
    const AVRational pictureRate = segment.source.frameRate();
    const MediaTime picture = pictureRate.num > 0
                                  ? MediaTime::make(pictureRate.den, pictureRate.num)
                                  : MediaTime::make(1, 30);
    const AVRational rate = motionFrameRate(segment.source);
    // Where the source picture on show at the time asked for lands on the grid itself (a whole
    // factor at the source's own rate, as most edits are), the run starts on it instead: the
    // pictures from it on have the export's neighbours, and none before it is read, which from a
    // keyframe on would mean decoding the whole group of pictures before it. (Only a repeat of
    // it just before, which tells a source that moves in steps, goes unseen there.)
    if (const int64_t shown = gridPictureOn(segment, at, pictureRate);
        shown >= gridStart && shown <= at &&
        gridStart + gridOffset(periodsIn(shown - gridStart, rate), rate) == shown) {
        return shown;
    }
    const int64_t lead =
        ticksOf(scaleTime(picture, segment.targetRange.duration, segment.sourceRange.duration));
    if (at - lead <= gridStart) {
        return gridStart;
    }
    return gridStart + gridOffset(periodsIn(at - lead - gridStart, rate), rate);
}

void LiveRenderer::start(MediaTime from) {
    stop();
    const int64_t start = runStartFor(from);
    m_run = std::make_unique<Run>(start, ticksOf(from), m_ahead);
    m_dropped = 0;
    Run* run = m_run.get();
    try {
        run->worker = std::thread(
            [run, composition = m_composition, format = m_format,
             range = MediaTimeRange::fromTimeToTime(timeOfTicks(start), m_plan->range.end())] {
                // Planned here, off the caller's thread: a long edit takes a while to plan.
                const ExportPlan plan = planExport(*composition, range);
                if (plan.video.empty()) {
                    run->queue.close();
                } else {
                    // The pictures before the one on show at the time asked for are only the
                    // neighbours of those after: passed over, not made.
                    run->queue.close(renderVideo(plan.video, format, ticksOf(plan.range.duration),
                                                 run->queue, run->stop, run->from - run->start));
                }
                run->done = true;
            });
    } catch (const std::system_error& failure) {
        run->queue.close(StageOutcome::failed(std::string("cannot start making pictures: ") +
                                                  failure.code().message(),
                                              AVERROR(failure.code().value())));
        run->done = true;
    }
}

void LiveRenderer::stop() {
    if (m_run) {
        m_run->stop = true;
        m_run->queue.abort();
        m_leaving.push_back(std::move(m_run));
    }
    reap();
}

void LiveRenderer::reap() {
    std::erase_if(m_leaving, joinedIfEnded<Run>);
}

std::optional<VideoItem> LiveRenderer::take(MediaTime at) {
    reap();
    if (!m_run) {
        return std::nullopt;
    }
    const int64_t time = ticksOf(at) - m_run->start;
    if (time < 0) {
        return std::nullopt;
    }
    while (const VideoItem* front = m_run->queue.peek()) {
        const int64_t end = front->pts + std::max<int64_t>(1, front->duration);
        if (front->pts > time) {
            return std::nullopt;
        }
        std::optional<VideoItem> item = m_run->queue.pop();
        if (end > time) {
            item->pts += m_run->start;
            return item;
        }
        if (item->pts + m_run->start >= m_run->from) {
            ++m_dropped;
        }
    }
    return std::nullopt;
}

StageOutcome LiveRenderer::ending() const {
    if (m_run && m_run->queue.drained()) {
        return m_run->queue.ending();
    }
    return StageOutcome::succeeded();
}

} // namespace lento
