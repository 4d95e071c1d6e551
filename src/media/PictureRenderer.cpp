#include "media/PictureRenderer.h"

#include "media/FrameStage.h"
#include "media/PictureScaler.h"
#include "media/SourceReader.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace lento {

namespace {

struct DecodedPicture {
    FramePtr frame;
    MediaTime time; // on the source's timeline
};

// Reads the decoded pictures of one video stream in presentation order, from a place on,
// each once, with times that only go forward.
class PictureReader {
public:
    StageOutcome open(const AssetTrack& track) {
        // One decoding thread: the encoder keeps every core busy, and each extra thread would
        // hold its own pictures.
        if (StageOutcome opened = m_reader.open(track, 1); !opened.ok()) {
            return opened;
        }
        m_packet = makePacket();
        if (!m_packet) {
            return StageOutcome::outOfMemory();
        }
        const AVRational rate = track.frameRate();
        m_step =
            rate.num > 0
                ? std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), m_reader.stream().timeBase))
                : 1;
        restartTiming();
        return StageOutcome::succeeded();
    }

    const SourceStream& source() const { return m_reader.stream(); }

    // Makes the next picture the one on screen at `time` or an earlier one.
    StageOutcome seek(MediaTime time) {
        bool restarted = false;
        const StageOutcome sought = m_reader.seek(time, restarted);
        restartTiming();
        return sought;
    }

    // Sets `picture` to the next picture; leaves it empty at the end of the stream.
    StageOutcome next(std::optional<DecodedPicture>& picture) {
        while (true) {
            if (StageOutcome decoded = decode(picture); !decoded.ok()) {
                return decoded;
            }
            if (!picture) {
                return StageOutcome::succeeded();
            }
            bool restarted = false;
            if (StageOutcome landed = m_reader.checkLanding(picture->time, restarted);
                !landed.ok() || !restarted) {
                return landed;
            }
            picture.reset();
            restartTiming();
        }
    }

private:
    void restartTiming() {
        m_hasLast = false;
        m_inputEnded = false;
        m_drained = false;
    }

    StageOutcome decode(std::optional<DecodedPicture>& picture) {
        m_reader.noteRead();
        picture.reset();
        SourceStream& source = m_reader.stream();
        while (!m_drained) {
            FramePtr frame = makeFrame();
            if (!frame) {
                return StageOutcome::outOfMemory();
            }
            const int received = avcodec_receive_frame(source.decoder.get(), frame.get());
            if (received == 0) {
                const MediaTime time = timeOf(*frame);
                picture = DecodedPicture{std::move(frame), time};
                return StageOutcome::succeeded();
            }
            if (received == AVERROR_EOF) {
                m_drained = true;
                break;
            }
            if (received != AVERROR(EAGAIN)) {
                return StageOutcome::failed("cannot decode the video: " + ffmpegError(received),
                                            received);
            }
            if (m_inputEnded) {
                m_drained = true;
                break;
            }
            // Hands the decoder its next packet, or the end of the input.
            if (StageOutcome fed = source.feedDecoder(*m_packet, m_inputEnded, "the video");
                !fed.ok()) {
                return fed;
            }
        }
        return StageOutcome::succeeded();
    }

    // The decoder's best-effort time stamp. A picture without one, or with one that does not
    // move forward (an MPEG-4 file without composition offsets, the last picture of an AVI
    // file), follows the previous picture by its duration.
    MediaTime timeOf(const AVFrame& frame) {
        const SourceStream& source = m_reader.stream();
        int64_t stamp = frame.best_effort_timestamp;
        if (m_hasLast && (stamp == AV_NOPTS_VALUE || stamp <= m_lastStamp)) {
            stamp = m_lastStamp + (frame.pkt_duration > 0 ? frame.pkt_duration : m_step);
        } else if (stamp == AV_NOPTS_VALUE) {
            stamp = source.origin;
        }
        m_lastStamp = stamp;
        m_hasLast = true;
        return source.timeAt(stamp);
    }

    SourceReader m_reader;
    PacketPtr m_packet;
    int64_t m_step = 1;      // one picture's duration at the nominal rate, in timeBase units
    int64_t m_lastStamp = 0; // of the previous picture, in timeBase units
    bool m_hasLast = false;
    bool m_inputEnded = false;
    bool m_drained = false;
};

// How the pictures of a segment reach the output: the segment's motion mode and, for the modes
// that make pictures, the rate of their grid and the time map that places made pictures between
// their neighbours.
struct SegmentMotion {
    MotionMode mode = MotionMode::Hold;
    AVRational rate{0, 1};
    SegmentTiming timing;

    bool operator==(const SegmentMotion& other) const {
        return mode == other.mode && av_cmp_q(rate, other.rate) == 0 &&
               timing.map == other.timing.map && timing.shift == other.timing.shift;
    }

    // Where a grid time lies in the source, for a mapped export: made pictures then lie between
    // their neighbours where the map shows the grid time, also within a ramp.
    FrameStage::SourcePosition sourcePosition() const {
        if (!timing.isMapped()) {
            return {};
        }
        return [timing = timing](int64_t time) {
            return timing.sourceTime(MediaTime::make(time, kVideoTimescale));
        };
    }
};

SegmentMotion motionOf(const PlacedSegment& segment) {
    if (segment.motion == MotionMode::Hold) {
        return {};
    }
    return {segment.motion, motionFrameRate(segment.source), segment.timing};
}

// Hands the sink's pictures to the frame stage of their segment's motion and what it emits to
// the queue. A new stage starts where the motion changes: the old one first shows its last
// picture up to where the next segment's first starts.
class StagedOutput {
public:
    StagedOutput(BoundedQueue<VideoItem>& queue, PicturePool& pool, int64_t passBefore)
        : m_queue(queue), m_pool(pool), m_passBefore(passBefore) {}

    StageOutcome push(VideoItem item, const SegmentMotion& motion) {
        if (!m_stage || !(motion == m_motion)) {
            if (StageOutcome finished = finish(); !finished.ok()) {
                return finished;
            }
            m_motion = motion;
            m_stage = std::make_unique<FrameStage>(
                motion.mode, motion.rate,
                [this](VideoItem made) { return m_queue.push(std::move(made)); }, &m_pool,
                motion.sourcePosition());
            m_stage->passBefore(m_passBefore);
        }
        return m_stage->push(std::move(item));
    }

    StageOutcome finish() { return m_stage ? m_stage->finish() : StageOutcome::succeeded(); }

private:
    BoundedQueue<VideoItem>& m_queue;
    PicturePool& m_pool;
    const int64_t m_passBefore;
    SegmentMotion m_motion;
    std::unique_ptr<FrameStage> m_stage;
};

// Turns decoded pictures into output pictures (size, pixel format) and keeps the last one back
// until the next shows how long it lasts.
class PictureSink {
public:
    PictureSink(const VideoFormat& format, BoundedQueue<VideoItem>& queue, int64_t passBefore)
        : m_format(format), m_output(queue, m_pool, passBefore) {}

    StageOutcome place(const AVFrame& frame, int64_t pts, MediaTime source,
                       const SegmentMotion& motion) {
        if (m_pending.frame) {
            if (pts <= m_pending.pts) {
                // Pictures never share or go back in time on the output.
                pts = m_pending.pts + 1;
            }
            m_pending.duration = pts - m_pending.pts;
            if (StageOutcome passed = m_output.push(std::move(m_pending), m_pendingMotion);
                !passed.ok()) {
                return passed;
            }
        } else {
            // The movie starts with its first picture.
            pts = 0;
        }
        m_pending = VideoItem{nullptr, pts, 0, source};
        m_pendingMotion = motion;
        return convert(frame, m_pending.frame);
    }

    // The last picture lasts until `end`.
    StageOutcome finish(int64_t end) {
        if (m_pending.frame) {
            m_pending.duration = std::max<int64_t>(1, end - m_pending.pts);
            if (StageOutcome passed = m_output.push(std::move(m_pending), m_pendingMotion);
                !passed.ok()) {
                return passed;
            }
        }
        return m_output.finish();
    }

private:
    StageOutcome convert(const AVFrame& frame, FramePtr& output) {
        if (frame.width == m_format.width && frame.height == m_format.height &&
            frame.format == m_format.pixelFormat) {
            output.reset(av_frame_clone(&frame));
            return output ? StageOutcome::succeeded() : StageOutcome::outOfMemory();
        }
        output = m_pool.take(m_format.width, m_format.height, m_format.pixelFormat);
        if (!output) {
            return StageOutcome::outOfMemory();
        }
        if (StageOutcome scaled = m_scaler.scale(frame, *output); !scaled.ok()) {
            return scaled;
        }
        const int copied = av_frame_copy_props(output.get(), &frame);
        return copied < 0 ? StageOutcome::failed("cannot convert the pictures", copied)
                          : StageOutcome::succeeded();
    }

    VideoFormat m_format;
    // Before the output, whose stages take their made pictures from it.
    PicturePool m_pool;
    StagedOutput m_output;
    PictureScaler m_scaler;
    VideoItem m_pending;
    SegmentMotion m_pendingMotion;
};

int64_t outputTicks(MediaTime time) {
    return time.convertScale(kVideoTimescale).value;
}

// Whether `segment` runs to the end of its source: then every picture the stream still holds
// belongs to it, also those stamped at or past the stated end.
bool reachesSourceEnd(const PlacedSegment& segment) {
    const MediaTime end = segment.sourceRange.end();
    return end >= segment.source.timeRange.end() || end >= segment.source.asset->duration();
}

// Decoded pictures held back at a source's end, a decoder's delay's worth.
constexpr size_t kMostOverrun = 4;

// Renders the segments one after another: reads each one's pictures from its source and places
// them, retimed, on the output's timeline.
class VideoRenderer {
public:
    VideoRenderer(const VideoFormat& format, BoundedQueue<VideoItem>& queue,
                  const std::atomic<bool>& stop, int64_t passBefore)
        : m_sink(format, queue, passBefore), m_stop(stop) {}

    StageOutcome render(const PlacedSegment& segment) {
        if (StageOutcome ready = startReading(segment); !ready.ok()) {
            return ready;
        }
        const MediaTime sourceStart = segment.sourceRange.start;
        const MediaTime sourceEnd = segment.sourceRange.end();
        const bool toTheEnd = reachesSourceEnd(segment);
        // The picture on screen when the segment starts: the last one before its start.
        std::optional<DecodedPicture> onScreen;
        // Pictures stamped at or past the end of a segment that runs to its source's end.
        std::vector<DecodedPicture> overrun;
        MediaTime lastPlaced = sourceStart;
        bool placedAny = false;
        while (!m_stop) {
            std::optional<DecodedPicture> picture;
            if (StageOutcome read = nextPicture(picture); !read.ok()) {
                return read;
            }
            if (!picture) {
                break;
            }
            if (picture->time < sourceStart) {
                onScreen = std::move(picture);
                continue;
            }
            if (picture->time >= sourceEnd) {
                if (!toTheEnd) {
                    m_lookahead = std::move(picture);
                    break;
                }
                overrun.push_back(std::move(*picture));
                if (overrun.size() > kMostOverrun) {
                    // A stated end far short of the pictures: they keep their own times.
                    for (const DecodedPicture& late : overrun) {
                        if (StageOutcome placed = place(segment, late, late.time); !placed.ok()) {
                            return placed;
                        }
                    }
                    overrun.clear();
                }
                continue;
            }
            if (!placedAny && onScreen && picture->time > sourceStart) {
                if (StageOutcome placed = place(segment, *onScreen, sourceStart); !placed.ok()) {
                    return placed;
                }
            }
            placedAny = true;
            lastPlaced = picture->time;
            if (StageOutcome placed = place(segment, *picture, picture->time); !placed.ok()) {
                return placed;
            }
        }
        if (m_stop) {
            return StageOutcome::stopped();
        }
        if (!placedAny && onScreen) {
            // The whole segment lies within one picture.
            if (StageOutcome placed = place(segment, *onScreen, sourceStart); !placed.ok()) {
                return placed;
            }
        }
        return placeOverrun(segment, overrun, lastPlaced);
    }

    StageOutcome finish(int64_t end) { return m_sink.finish(end); }

private:
    // Opens the segment's source, or goes on reading where the previous segment stopped when
    // this one continues it.
    StageOutcome startReading(const PlacedSegment& segment) {
        if (!(m_reader && m_reader->source().isSame(segment.source))) {
            m_reader.emplace();
            if (StageOutcome opened = m_reader->open(segment.source); !opened.ok()) {
                return opened;
            }
            m_lookahead.reset();
            m_readerPosition = MediaTime::invalid();
        }
        const MediaTime sourceStart = segment.sourceRange.start;
        if (!(m_readerPosition.isValid() && m_readerPosition == sourceStart)) {
            m_lookahead.reset();
            if (StageOutcome sought = m_reader->seek(sourceStart); !sought.ok()) {
                return sought;
            }
        }
        m_readerPosition = segment.sourceRange.end();
        return StageOutcome::succeeded();
    }

    StageOutcome nextPicture(std::optional<DecodedPicture>& picture) {
        if (m_lookahead) {
            picture = std::move(m_lookahead);
            m_lookahead.reset();
            return StageOutcome::succeeded();
        }
        return m_reader->next(picture);
    }

    // The source stamped these pictures at or past its own end (the stamps of a file without
    // composition offsets run a picture or two late): they share the time between the last
    // picture placed and the end evenly, so that each is seen.
    StageOutcome placeOverrun(const PlacedSegment& segment,
                              const std::vector<DecodedPicture>& pictures, MediaTime after) {
        const MediaTime span = segment.sourceRange.end() - after;
        const auto count = static_cast<int64_t>(pictures.size()) + 1;
        for (size_t i = 0; i < pictures.size(); ++i) {
            const MediaTime at =
                after + scaleTime(span, MediaTime::make(static_cast<int64_t>(i) + 1, 1),
                                  MediaTime::make(count, 1));
            if (StageOutcome placed = place(segment, pictures[i], at); !placed.ok()) {
                return placed;
            }
        }
        return StageOutcome::succeeded();
    }

    StageOutcome place(const PlacedSegment& segment, const DecodedPicture& picture,
                       MediaTime sourceTime) {
        // Along a map each picture starts at the output time of its own: held pictures last
        // as long as the map gives their stretch of the source, also through a ramp.
        const bool mapped = segment.timing.isMapped();
        return m_sink.place(*picture.frame, outputTicks(segment.targetAt(sourceTime)),
                            mapped ? sourceTime : MediaTime::invalid(), motionOf(segment));
    }

    PictureSink m_sink;
    const std::atomic<bool>& m_stop;
    std::optional<PictureReader> m_reader;
    // A picture read past the end of one segment, kept for the next when that one continues
    // where the last stopped.
    std::optional<DecodedPicture> m_lookahead;
    MediaTime m_readerPosition = MediaTime::invalid();
};

} // namespace

StageOutcome renderVideo(const std::vector<PlacedSegment>& segments, const VideoFormat& format,
                         int64_t end, BoundedQueue<VideoItem>& queue, const std::atomic<bool>& stop,
                         int64_t passBefore) {
    VideoRenderer renderer(format, queue, stop, passBefore);
    for (const PlacedSegment& segment : segments) {
        if (stop) {
            return StageOutcome::stopped();
        }
        if (StageOutcome rendered = renderer.render(segment); !rendered.ok()) {
            return rendered;
        }
    }
    return stop ? StageOutcome::stopped() : renderer.finish(end);
}

} // namespace lento
