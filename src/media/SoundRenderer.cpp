#include "media/SoundRenderer.h"

#include "media/MapStretcher.h"
#include "media/SoundSink.h"
#include "media/SourceReader.h"
#include "media/TimeMap.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <span>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace lento {

namespace {

int64_t samplesAt(MediaTime time, int sampleRate) {
    return time.convertScale(sampleRate).value;
}

// Reads one sound stream as planar float at the output rate and channel count, by sample
// position on the source's timeline.
class SoundReader {
public:
    StageOutcome open(const AssetTrack& track, const AudioFormat& format) {
        m_format = format;
        if (StageOutcome opened = m_reader.open(track, 1); !opened.ok()) {
            return opened;
        }
        m_packet = makePacket();
        m_frame = makeFrame();
        if (!m_packet || !m_frame) {
            return StageOutcome::outOfMemory();
        }
        m_buffered.assign(static_cast<size_t>(format.channels), {});
        m_resampler.reset();
        return StageOutcome::succeeded();
    }

    const SourceStream& source() const { return m_reader.stream(); }
    int64_t position() const { return m_position; }

    // Delivers the samples [from, to) in blocks; a stretch the stream does not cover is
    // silence. Ends early as reading, or `deliver`, does.
    StageOutcome read(int64_t from, int64_t to,
                      const std::function<StageOutcome(const Planes&, int)>& deliver,
                      const std::atomic<bool>& stop) {
        if (m_started && from > m_position && from - m_position <= m_format.sampleRate) {
            // Decoding up to a second on costs less than a seek, which decodes from a packet
            // before the place anyway.
            const auto discard = [](const Planes&, int) { return StageOutcome::succeeded(); };
            if (StageOutcome skipped = read(m_position, from, discard, stop); !skipped.ok()) {
                return skipped;
            }
        }
        if (!m_started || from != m_position) {
            if (StageOutcome sought = seekTo(from); !sought.ok()) {
                return sought;
            }
        }
        Planes block(static_cast<size_t>(m_format.channels), std::vector<float>(kSoundBlock));
        while (m_position < to) {
            if (stop) {
                return StageOutcome::stopped();
            }
            if (bufferedCount() == 0 && !m_ended) {
                if (StageOutcome decoded = decodeMore(); !decoded.ok()) {
                    return decoded;
                }
                continue;
            }
            const int count = static_cast<int>(std::min<int64_t>(to - m_position, kSoundBlock));
            int taken = 0;
            if (m_bufferedStart > m_position || bufferedCount() == 0) {
                // Nothing decoded for this stretch (a hole in the stream, or its end).
                const int64_t until = bufferedCount() == 0 ? to : m_bufferedStart;
                taken = static_cast<int>(std::min<int64_t>(count, until - m_position));
                for (auto& plane : block) {
                    std::fill(plane.begin(), plane.begin() + taken, 0.0f);
                }
            } else {
                const int64_t skip = m_position - m_bufferedStart;
                dropBuffered(skip);
                taken = static_cast<int>(std::min<int64_t>(count, bufferedCount()));
                for (size_t c = 0; c < block.size(); ++c) {
                    std::copy_n(m_buffered[c].begin() + m_bufferedOffset, taken, block[c].begin());
                }
                dropBuffered(taken);
            }
            m_position += taken;
            if (StageOutcome delivered = deliver(block, taken); !delivered.ok()) {
                return delivered;
            }
        }
        return StageOutcome::succeeded();
    }

private:
    int64_t bufferedCount() const {
        return m_buffered.empty() ? 0
                                  : static_cast<int64_t>(m_buffered[0].size()) - m_bufferedOffset;
    }

    void dropBuffered(int64_t count) {
        count = std::min(count, bufferedCount());
        m_bufferedOffset += count;
        m_bufferedStart += count;
        if (bufferedCount() == 0) {
            for (auto& plane : m_buffered) {
                plane.clear();
            }
            m_bufferedOffset = 0;
        }
    }

    void forgetDecoded() {
        m_ended = false;
        m_inputEnded = false;
        m_expected = INT64_MIN;
        for (auto& plane : m_buffered) {
            plane.clear();
        }
        m_bufferedOffset = 0;
        m_resampler.reset();
    }

    StageOutcome seekTo(int64_t sample) {
        m_started = true;
        m_position = sample;
        forgetDecoded();
        // A little early: sound frames overlap, and the decoder needs a frame to settle before
        // its output is whole.
        bool restarted = false;
        return m_reader.seek(MediaTime::make(sample, m_format.sampleRate), restarted,
                             MediaTime::make(1, 10));
    }

    StageOutcome decodeMore() {
        m_reader.noteRead();
        SourceStream& source = m_reader.stream();
        while (true) {
            const int received = avcodec_receive_frame(source.decoder.get(), m_frame.get());
            if (received == 0) {
                return append();
            }
            if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && m_inputEnded)) {
                m_ended = true;
                return StageOutcome::succeeded();
            }
            if (received != AVERROR(EAGAIN)) {
                return StageOutcome::failed("cannot decode the sound: " + ffmpegError(received),
                                            received);
            }
            if (StageOutcome fed = source.feedDecoder(*m_packet, m_inputEnded, "the sound");
                !fed.ok()) {
                return fed;
            }
        }
    }

    // Where `frame` starts on the source's timeline; invalid without a time stamp.
    MediaTime stampedTime(const AVFrame& frame) const {
        const int64_t pts = frame.best_effort_timestamp;
        return pts == AV_NOPTS_VALUE ? MediaTime::invalid() : m_reader.stream().timeAt(pts);
    }

    // Where `frame` starts at the output rate, from its time stamp; INT64_MIN without one.
    int64_t stampedStart(const AVFrame& frame) const {
        const MediaTime time = stampedTime(frame);
        return time.isValid() ? samplesAt(time, m_format.sampleRate) : INT64_MIN;
    }

    StageOutcome append() {
        AVFrame& frame = *m_frame;
        const int64_t stamped = stampedStart(frame);
        bool restarted = false;
        if (StageOutcome landed = m_reader.checkLanding(stampedTime(frame), restarted);
            !landed.ok() || restarted) {
            av_frame_unref(&frame);
            forgetDecoded();
            return landed;
        }
        if (!m_resampler) {
            AVChannelLayout outLayout;
            av_channel_layout_default(&outLayout, m_format.channels);
            SwrContext* raw = nullptr;
            int result = swr_alloc_set_opts2(
                &raw, &outLayout, AV_SAMPLE_FMT_FLTP, m_format.sampleRate, &frame.ch_layout,
                static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
            if (result >= 0) {
                result = swr_init(raw);
            }
            if (result < 0) {
                swr_free(&raw);
                return StageOutcome::failed("cannot convert the sound: " + ffmpegError(result),
                                            result);
            }
            m_resampler.reset(raw);
        }
        const int outCapacity = swr_get_out_samples(m_resampler.get(), frame.nb_samples);
        if (outCapacity < 0) {
            return StageOutcome::failed("cannot convert the sound: " + ffmpegError(outCapacity),
                                        outCapacity);
        }
        std::vector<uint8_t*> outputs(static_cast<size_t>(m_format.channels));
        const int64_t oldSize = static_cast<int64_t>(m_buffered[0].size());
        for (size_t c = 0; c < m_buffered.size(); ++c) {
            m_buffered[c].resize(static_cast<size_t>(oldSize + outCapacity));
            outputs[c] = reinterpret_cast<uint8_t*>(m_buffered[c].data() + oldSize);
        }
        const int converted =
            swr_convert(m_resampler.get(), outputs.data(), outCapacity,
                        const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
        av_frame_unref(&frame);
        if (converted < 0) {
            return StageOutcome::failed("cannot convert the sound: " + ffmpegError(converted),
                                        converted);
        }
        const int kept = converted;
        for (auto& plane : m_buffered) {
            plane.resize(static_cast<size_t>(oldSize + kept));
        }
        // Where the frame belongs: from its time stamp, unless it simply follows the previous
        // frame, in which case counting samples is exact.
        int64_t start = m_expected;
        if (stamped != INT64_MIN) {
            if (m_expected == INT64_MIN ||
                std::llabs(stamped - m_expected) > m_format.sampleRate / 50) {
                start = stamped;
            }
        }
        if (start == INT64_MIN) {
            start = m_position;
        }
        if (oldSize - m_bufferedOffset == 0) {
            m_bufferedStart = start;
        } else if (start != m_expected) {
            // A jump in the stream: keep what is buffered, then continue from the new place by
            // dropping the overlap or leaving the hole to silence at the next read.
            if (start < m_expected) {
                const int64_t overlap = std::min<int64_t>(m_expected - start, kept);
                for (auto& plane : m_buffered) {
                    plane.erase(plane.begin() + oldSize, plane.begin() + oldSize + overlap);
                }
                start = m_expected;
            } else {
                // Fill the hole with silence so the buffer stays contiguous.
                const int64_t hole = start - m_expected;
                for (auto& plane : m_buffered) {
                    plane.insert(plane.begin() + oldSize, static_cast<size_t>(hole), 0.0f);
                }
            }
        }
        m_expected = m_bufferedStart + bufferedCount();
        return StageOutcome::succeeded();
    }

    SourceReader m_reader;
    AudioFormat m_format;
    ResampleContextPtr m_resampler;
    PacketPtr m_packet;
    FramePtr m_frame;
    bool m_started = false;
    bool m_ended = false;
    bool m_inputEnded = false;
    int64_t m_position = 0;         // the next sample `read` delivers
    int64_t m_expected = INT64_MIN; // where the next decoded frame should start
    Planes m_buffered;              // decoded samples not yet delivered
    int64_t m_bufferedOffset = 0;   // first live sample in m_buffered
    int64_t m_bufferedStart = 0;    // its position
};

bool sameTrack(const AssetTrack& a, const AssetTrack& b) {
    return a.asset && b.asset && a.streamIndex == b.streamIndex &&
           (a.asset == b.asset || a.asset->path() == b.asset->path());
}

// Whether `source` lasting `target` is a stretch at the speed of 1 long enough to be copied on its
// own: a stretcher's start and end cost about what it takes to stretch a tenth of a second.
bool copiedApart(MediaTime source, MediaTime target) {
    return source == target && source >= MediaTime::make(1, 1);
}

// Whether `next` carries on the sound of `previous` on one stretcher: the same track read on,
// either at once or after a stretch of the source that is silent in the output (a section whose
// sound is off), whatever the speeds. The stretcher follows each change of speed where the map
// puts it, so an edit of a hundred thousand short sections is one run, not a run each with the
// stretcher's start and end; only a second or more at the speed of 1 is a run of its own, copied.
bool readsOn(const PlacedSegment& previous, const PlacedSegment& next) {
    if (!sameTrack(previous.source, next.source) ||
        copiedApart(previous.sourceRange.duration, previous.targetRange.duration) ||
        copiedApart(next.sourceRange.duration, next.targetRange.duration)) {
        return false;
    }
    const MediaTime source = next.sourceRange.start - previous.sourceRange.end();
    const MediaTime target = next.targetRange.start - previous.targetRange.end();
    if (source == MediaTime::zero() && target == MediaTime::zero()) {
        return true;
    }
    return source > MediaTime::zero() && target > MediaTime::zero() &&
           MapStretcher::withinStretch(source, target) && !copiedApart(source, target);
}

// The factor `source` takes to last `target`; nearest where no 32-bit fraction is exact.
std::optional<SpeedFactor> factorOf(MediaTime source, MediaTime target) {
    const std::optional<TimeRatio> ratio = ratioOf(target, source);
    return ratio ? SpeedFactor::make(ratio->num, ratio->den) : std::nullopt;
}

// Decodes the sound of a run of segments that read on from one another, stretches it along
// their speeds with one stretcher (stretches between them muted), and writes it after what
// the sink already holds.
StageOutcome renderRun(std::span<const PlacedSegment> run, const AudioFormat& format,
                       int64_t totalSamples, SoundSink& sink, std::optional<SoundReader>& reader,
                       std::optional<MapStretcher>& stretcher, const std::atomic<bool>& stop) {
    const PlacedSegment& first = run.front();
    const PlacedSegment& last = run.back();
    const int64_t targetStart = samplesAt(first.targetRange.start, format.sampleRate);
    const int64_t targetEnd =
        std::min(totalSamples, samplesAt(last.targetRange.end(), format.sampleRate));
    const int64_t sourceStart = samplesAt(first.sourceRange.start, format.sampleRate);
    const int64_t sourceEnd = samplesAt(last.sourceRange.end(), format.sampleRate);
    if (targetEnd <= targetStart || sourceEnd <= sourceStart) {
        return StageOutcome::succeeded();
    }

    // The run's retiming: each segment and each muted stretch between two at its own factor,
    // or, for an edit with ramps, the edit's own map over the run.
    const std::shared_ptr<const TimeMap>& editMap = first.timing.map;
    std::vector<TimeMap::Section> sections;
    std::vector<MediaTimeRange> muted;
    const auto retime = [&](MediaTime start, MediaTime end, MediaTime target) {
        const std::optional<SpeedFactor> factor = factorOf(end - start, target);
        if (!factor) {
            return false;
        }
        if (!factor->isOne()) {
            sections.push_back({start, end, *factor});
        }
        return true;
    };
    for (size_t i = 0; i < run.size(); ++i) {
        const PlacedSegment& segment = run[i];
        if (!MapStretcher::withinStretch(segment.sourceRange.duration,
                                         segment.targetRange.duration)) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "cannot change the speed of the sound %.6g times: at most %d times",
                          segment.targetRange.duration.seconds() /
                              segment.sourceRange.duration.seconds(),
                          MapStretcher::kMostStretch);
            return StageOutcome::failed(text);
        }
        bool timed = editMap || retime(segment.sourceRange.start, segment.sourceRange.end(),
                                       segment.targetRange.duration);
        if (timed && i > 0 && run[i - 1].sourceRange.end() < segment.sourceRange.start) {
            const PlacedSegment& previous = run[i - 1];
            muted.push_back(MediaTimeRange::fromTimeToTime(previous.sourceRange.end(),
                                                           segment.sourceRange.start));
            timed = editMap || retime(previous.sourceRange.end(), segment.sourceRange.start,
                                      segment.targetRange.start - previous.targetRange.end());
        }
        if (!timed) {
            char text[96];
            std::snprintf(text, sizeof text, "cannot time the sound at %.3f s of the source",
                          segment.sourceRange.start.seconds());
            return StageOutcome::failed(text);
        }
    }
    MediaTime mapped = last.sourceRange.end();
    if (editMap) {
        sections = editMap->sectionsOver(first.sourceRange.start, last.sourceRange.end());
        mapped = maxTime(mapped, editMap->sourceDuration());
    }
    std::string error;
    std::optional<TimeMap> map = TimeMap::make(std::move(sections), mapped, error);
    if (!map) {
        return StageOutcome::failed("cannot time the sound: " + error);
    }

    if (targetStart > sink.written()) {
        if (StageOutcome gap = sink.write(nullptr, targetStart - sink.written()); !gap.ok()) {
            return gap;
        }
    }
    // Samples of the run that land before what is already written are dropped; the run's
    // length is the segments', whatever the stretcher's rounding makes of it.
    const int64_t skip = std::max<int64_t>(0, sink.written() - targetStart);
    SegmentOutput output(sink, format.channels, targetEnd - targetStart - skip, skip);

    if (!(reader && reader->source().isSame(first.source))) {
        reader.emplace();
        if (StageOutcome opened = reader->open(first.source, format); !opened.ok()) {
            return opened;
        }
    }
    if (stretcher) {
        stretcher->retime(std::move(*map), std::move(muted));
    } else {
        stretcher.emplace(std::move(*map), format.sampleRate, format.channels, std::move(muted));
    }
    if (StageOutcome started = stretcher->start(sourceStart); !started.ok()) {
        return started;
    }
    const MapStretcher::Sink write = [&](const float* const* planes, int64_t count) {
        return output.write(planes, static_cast<int>(count));
    };
    std::vector<const float*> pointers(static_cast<size_t>(format.channels));
    const StageOutcome read = reader->read(
        sourceStart, sourceEnd,
        [&](const Planes& planes, int count) {
            for (size_t c = 0; c < pointers.size(); ++c) {
                pointers[c] = planes[c].data();
            }
            return stretcher->push(pointers.data(), count, write, stop);
        },
        stop);
    if (!read.ok()) {
        return read;
    }
    if (StageOutcome finished = stretcher->finish(write, stop); !finished.ok()) {
        return finished;
    }
    // No padding once stopped: nobody may be taking the sound any more.
    return stop ? StageOutcome::stopped() : output.finish();
}

} // namespace

StageOutcome renderAudio(const std::vector<PlacedSegment>& segments, const AudioFormat& format,
                         int64_t totalSamples, BoundedQueue<AudioItem>& queue,
                         const std::atomic<bool>& stop) {
    SoundSink sink(format, queue);
    if (!sink.valid()) {
        return StageOutcome::outOfMemory();
    }
    std::optional<SoundReader> reader;
    std::optional<MapStretcher> stretcher; // one Rubber Band for the whole export
    for (size_t first = 0; first < segments.size();) {
        if (stop) {
            return StageOutcome::stopped();
        }
        size_t end = first + 1;
        while (end < segments.size() && readsOn(segments[end - 1], segments[end])) {
            ++end;
        }
        const std::span<const PlacedSegment> run(segments.data() + first, end - first);
        if (StageOutcome rendered =
                renderRun(run, format, totalSamples, sink, reader, stretcher, stop);
            !rendered.ok()) {
            return rendered;
        }
        first = end;
    }
    // Trailing silence only where a sound track was cut short inside the range; the caller
    // passes the sound track's own end.
    if (sink.written() < totalSamples) {
        if (StageOutcome padded = sink.write(nullptr, totalSamples - sink.written());
            !padded.ok()) {
            return padded;
        }
    }
    return sink.finish();
}

} // namespace lento
