#include "media/Asset.h"
#include "media/ExportPipeline.h"

#include <rubberband/rubberband-c.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace lento {

namespace {

struct AudioFifoDeleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

struct StretcherDeleter {
    void operator()(RubberBandState state) const { rubberband_delete(state); }
};
using StretcherPtr = std::unique_ptr<std::remove_pointer_t<RubberBandState>, StretcherDeleter>;

// Planar float sound, one vector a channel.
using Planes = std::vector<std::vector<float>>;

constexpr int kBlock = 1024;

int64_t samplesAt(MediaTime time, int sampleRate) {
    return time.convertScale(sampleRate).value;
}

// Reads one sound stream as planar float at the output rate and channel count, by sample
// position on the source's timeline.
class SoundReader {
public:
    StageOutcome open(const AssetTrack& track, const AudioFormat& format) {
        m_track = track;
        m_format = format;
        if (StageOutcome opened = m_source.open(track, 1, SourceStream::Probing::HeaderWhereEnough);
            !opened.ok()) {
            return opened;
        }
        m_packet = makePacket();
        m_frame = makeFrame();
        if (!m_packet || !m_frame) {
            return StageOutcome::outOfMemory();
        }
        m_buffered.assign(static_cast<size_t>(format.channels), {});
        m_resampler.reset();
        m_fresh = true;
        return StageOutcome::succeeded();
    }

    const SourceStream& source() const { return m_source; }
    int64_t position() const { return m_position; }

    // Delivers the samples [from, to) in blocks; a stretch the stream does not cover is
    // silence. Ends early as reading, or `deliver`, does.
    StageOutcome read(int64_t from, int64_t to,
                      const std::function<StageOutcome(const Planes&, int)>& deliver,
                      const std::atomic<bool>& stop) {
        if (!m_started || from != m_position) {
            if (StageOutcome sought = seekTo(from); !sought.ok()) {
                return sought;
            }
        }
        Planes block(static_cast<size_t>(m_format.channels), std::vector<float>(kBlock));
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
            const int count = static_cast<int>(std::min<int64_t>(to - m_position, kBlock));
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
        // Start a little early, before the start of the stream if need be: sound frames
        // overlap, and the decoder needs a frame to settle before its output is whole.
        const int64_t early = sample - m_format.sampleRate / 10;
        if (m_fresh && early <= samplesAt(m_track.timeRange.start, m_format.sampleRate)) {
            // Nothing read yet and the stream's start asked for: read on rather than seek,
            // which is where MPEG transport and program streams go wrong.
            return StageOutcome::succeeded();
        }
        m_fresh = false;
        const int64_t timestamp =
            av_rescale_q(early, AVRational{1, m_format.sampleRate}, m_source.timeBase) +
            m_source.origin;
        if (!m_source.seek(timestamp)) {
            return readFromTheTop();
        }
        // Not every demuxer lands where it is asked to: the first frame tells.
        m_checkLanding = true;
        return StageOutcome::succeeded();
    }

    StageOutcome readFromTheTop() {
        m_checkLanding = false;
        if (StageOutcome opened = open(m_track, m_format); !opened.ok()) {
            return opened;
        }
        forgetDecoded();
        return StageOutcome::succeeded();
    }

    StageOutcome decodeMore() {
        m_fresh = false;
        while (true) {
            const int received = avcodec_receive_frame(m_source.decoder.get(), m_frame.get());
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
            if (StageOutcome fed = m_source.feedDecoder(*m_packet, m_inputEnded, "the sound");
                !fed.ok()) {
                return fed;
            }
        }
    }

    // Where `frame` starts at the output rate, from its time stamp; INT64_MIN without one.
    int64_t stampedStart(const AVFrame& frame) const {
        const int64_t pts = frame.best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) {
            return INT64_MIN;
        }
        return av_rescale_q_rnd(pts - m_source.origin, m_source.timeBase,
                                AVRational{1, m_format.sampleRate},
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF));
    }

    StageOutcome append() {
        AVFrame& frame = *m_frame;
        const int64_t stamped = stampedStart(frame);
        if (m_checkLanding) {
            m_checkLanding = false;
            if (stamped != INT64_MIN && stamped > m_position) {
                // The seek went past the sample asked for: read the stream from its top.
                av_frame_unref(&frame);
                return readFromTheTop();
            }
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

    AssetTrack m_track;
    SourceStream m_source;
    AudioFormat m_format;
    ResampleContextPtr m_resampler;
    PacketPtr m_packet;
    FramePtr m_frame;
    bool m_started = false;
    bool m_fresh = true; // nothing read since the file was opened
    bool m_checkLanding = false;
    bool m_ended = false;
    bool m_inputEnded = false;
    int64_t m_position = 0;         // the next sample `read` delivers
    int64_t m_expected = INT64_MIN; // where the next decoded frame should start
    Planes m_buffered;              // decoded samples not yet delivered
    int64_t m_bufferedOffset = 0;   // first live sample in m_buffered
    int64_t m_bufferedStart = 0;    // its position
};

// Collects sound into encoder-sized items on the output timeline. Writing stops when the
// consumer takes no more, and fails when memory runs out.
class SoundSink {
public:
    SoundSink(const AudioFormat& format, BoundedQueue<AudioItem>& queue)
        : m_format(format), m_queue(queue),
          m_fifo(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, format.channels, format.frameSize * 4)) {}

    bool valid() const { return m_fifo != nullptr; }

    // Samples written so far, those still waiting for a whole item included.
    int64_t written() const { return m_handedOut + av_audio_fifo_size(m_fifo.get()); }

    // Appends `count` samples of each plane (or silence when `planes` is null).
    StageOutcome write(const float* const* planes, int64_t count) {
        if (planes == nullptr) {
            m_silence.resize(static_cast<size_t>(m_format.frameSize));
            const std::vector<void*> pointers(static_cast<size_t>(m_format.channels),
                                              m_silence.data());
            for (int64_t left = count; left > 0;) {
                const int n = static_cast<int>(std::min<int64_t>(left, m_format.frameSize));
                if (StageOutcome appended = append(pointers.data(), n); !appended.ok()) {
                    return appended;
                }
                left -= n;
            }
            return StageOutcome::succeeded();
        }
        if (count <= 0) {
            return StageOutcome::succeeded();
        }
        std::vector<void*> pointers(static_cast<size_t>(m_format.channels));
        for (int c = 0; c < m_format.channels; ++c) {
            pointers[static_cast<size_t>(c)] = const_cast<float*>(planes[c]);
        }
        return append(pointers.data(), static_cast<int>(count));
    }

    StageOutcome finish() { return drain(true); }

private:
    StageOutcome append(void* const* planes, int count) {
        if (av_audio_fifo_write(m_fifo.get(), const_cast<void**>(planes), count) < count) {
            return StageOutcome::outOfMemory();
        }
        return drain(false);
    }

    StageOutcome drain(bool all) {
        while (av_audio_fifo_size(m_fifo.get()) >= m_format.frameSize ||
               (all && av_audio_fifo_size(m_fifo.get()) > 0)) {
            const int n = std::min(av_audio_fifo_size(m_fifo.get()), m_format.frameSize);
            FramePtr frame = makeFrame();
            if (!frame) {
                return StageOutcome::outOfMemory();
            }
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = m_format.sampleRate;
            av_channel_layout_default(&frame->ch_layout, m_format.channels);
            frame->nb_samples = n;
            if (av_frame_get_buffer(frame.get(), 0) < 0 ||
                av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(frame->extended_data),
                                   n) < n) {
                return StageOutcome::outOfMemory();
            }
            AudioItem item{std::move(frame), m_handedOut};
            m_handedOut += n;
            if (!m_queue.push(std::move(item))) {
                return StageOutcome::stopped();
            }
        }
        return StageOutcome::succeeded();
    }

    AudioFormat m_format;
    BoundedQueue<AudioItem>& m_queue;
    AudioFifoPtr m_fifo;
    std::vector<float> m_silence;
    int64_t m_handedOut = 0; // samples already in items
};

// Writes exactly `total` samples of one segment to the sink, after dropping the first `skip`
// of them (where the segment starts under one already written).
class SegmentOutput {
public:
    SegmentOutput(SoundSink& sink, int channels, int64_t total, int64_t skip)
        : m_sink(sink), m_channels(channels), m_left(total), m_skip(skip) {}

    bool full() const { return m_left <= 0; }
    // Samples still owed, those to be dropped included.
    int64_t left() const { return std::max<int64_t>(0, m_left) + m_skip; }

    StageOutcome write(const float* const* planes, int count) {
        int offset = 0;
        if (m_skip > 0) {
            const int dropped = static_cast<int>(std::min<int64_t>(m_skip, count));
            m_skip -= dropped;
            offset = dropped;
        }
        const int n = static_cast<int>(std::min<int64_t>(count - offset, m_left));
        if (n <= 0) {
            return StageOutcome::succeeded();
        }
        m_left -= n;
        if (planes == nullptr) {
            return m_sink.write(nullptr, n);
        }
        std::vector<const float*> shifted(static_cast<size_t>(m_channels));
        for (int c = 0; c < m_channels; ++c) {
            shifted[static_cast<size_t>(c)] = planes[c] + offset;
        }
        return m_sink.write(shifted.data(), n);
    }

    // Pads with silence up to the segment's length.
    StageOutcome finish() {
        m_skip = 0;
        const int64_t left = std::max<int64_t>(0, m_left);
        m_left = 0;
        return m_sink.write(nullptr, left);
    }

private:
    SoundSink& m_sink;
    int m_channels;
    int64_t m_left;
    int64_t m_skip;
};

// The stretcher is built for changes of speed up to ten times either way, the editor's factors
// going from 1 to 10. Rubber Band trusted with more corrupts its memory (from about x300 in
// its real-time mode) or never ends.
constexpr int kMostStretch = 10;

// Whether `segment` changes the speed of its sound within what the stretcher is built for,
// compared exactly.
bool withinStretchRange(const PlacedSegment& segment) {
    const MediaTime target = segment.targetRange.duration;
    const MediaTime source = segment.sourceRange.duration;
    const __int128 targetScaled = static_cast<__int128>(target.value) * source.timescale;
    const __int128 sourceScaled = static_cast<__int128>(source.value) * target.timescale;
    return targetScaled <= kMostStretch * sourceScaled &&
           sourceScaled <= kMostStretch * targetScaled;
}

// Time-stretches one segment with the pitch kept.
class Stretcher {
public:
    // `targetCount` samples are made of every `sourceCount`, a ratio the segment's exact one
    // rounded to whole samples: a ratio pushed past the stretcher's range by that rounding (a
    // segment a few samples long) is held to it, and the output pads or cuts the difference.
    Stretcher(const AudioFormat& format, int64_t sourceCount, int64_t targetCount,
              SegmentOutput& output)
        : m_channels(format.channels), m_sourceCount(sourceCount), m_targetCount(targetCount),
          m_output(output) {
        // The finer engine in its short-window mode: two thirds of the faster engine's time
        // (0.37 s against 0.55 s for 30 s of stretched mono sound), the larger part of an
        // export whose pictures are copied; beeps stay on their flashes as closely (29 ms
        // against 22 ms at x3, with 100 ms pictures).
        const RubberBandOptions options = RubberBandOptionProcessRealTime |
                                          RubberBandOptionEngineFiner | RubberBandOptionWindowShort;
        const double ratio = std::clamp(double(targetCount) / double(sourceCount),
                                        1.0 / kMostStretch, double(kMostStretch));
        m_state.reset(rubberband_new(static_cast<unsigned>(format.sampleRate),
                                     static_cast<unsigned>(format.channels), options, ratio, 1.0));
        if (!m_state) {
            return;
        }
        rubberband_set_max_process_size(m_state.get(), kBlock);
        m_planes.assign(static_cast<size_t>(m_channels), std::vector<float>(kBlock * 8));
        m_silence.assign(static_cast<size_t>(m_channels), std::vector<float>(kBlock, 0.0f));
        m_discard = rubberband_get_start_delay(m_state.get());
    }

    // False when Rubber Band could not be started.
    bool valid() const { return m_state != nullptr; }

    // Primes the stretcher with silence, so that the first real sample comes out at the very
    // start.
    StageOutcome start(const std::atomic<bool>& stop) {
        int pad = static_cast<int>(rubberband_get_preferred_start_pad(m_state.get()));
        while (pad > 0) {
            const int n = std::min(pad, kBlock);
            if (StageOutcome processed = process(m_silence, n, stop); !processed.ok()) {
                return processed;
            }
            pad -= n;
        }
        return StageOutcome::succeeded();
    }

    StageOutcome process(const Planes& input, int count, const std::atomic<bool>& stop) {
        std::vector<const float*> pointers(static_cast<size_t>(m_channels));
        for (int c = 0; c < m_channels; ++c) {
            pointers[static_cast<size_t>(c)] = input[static_cast<size_t>(c)].data();
        }
        return feed(pointers, count, stop);
    }

    // Feeds silence until the segment's output is complete, or until the stretcher has had
    // all the silence that can still matter (the output is then padded by the caller).
    StageOutcome flush(const std::atomic<bool>& stop) {
        // The input that yields what is still owed, plus what the stretcher holds back.
        int64_t budget =
            av_rescale_rnd(m_output.left(), m_sourceCount, m_targetCount, AV_ROUND_UP) +
            rubberband_get_latency(m_state.get()) + 4 * kBlock;
        while (!m_output.full() && budget > 0) {
            const int n = static_cast<int>(std::min<int64_t>(budget, kBlock));
            if (StageOutcome processed = process(m_silence, n, stop); !processed.ok()) {
                return processed;
            }
            budget -= n;
        }
        return stop ? StageOutcome::stopped() : StageOutcome::succeeded();
    }

private:
    // In real-time mode Rubber Band does all its work inside rubberband_process, and holds
    // both what it was given and what it made until they are taken out. So it is handed no
    // more than it asks for, and what it made is taken out before every step: its buffers
    // never fill, and every round hands it at least one sample, so the loop always ends.
    StageOutcome feed(const std::vector<const float*>& planes, int count,
                      const std::atomic<bool>& stop) {
        int offset = 0;
        std::vector<const float*> shifted(planes.size());
        while (offset < count) {
            if (stop) {
                return StageOutcome::stopped();
            }
            if (StageOutcome retrieved = retrieve(); !retrieved.ok()) {
                return retrieved;
            }
            const int required = static_cast<int>(std::min<unsigned>(
                rubberband_get_samples_required(m_state.get()), static_cast<unsigned>(kBlock)));
            const int n = std::clamp(required, 1, count - offset);
            for (size_t c = 0; c < planes.size(); ++c) {
                shifted[c] = planes[c] + offset;
            }
            rubberband_process(m_state.get(), shifted.data(), static_cast<unsigned>(n), 0);
            offset += n;
        }
        return retrieve();
    }

    StageOutcome retrieve() {
        std::vector<float*> pointers(static_cast<size_t>(m_channels));
        int available = 0;
        while ((available = rubberband_available(m_state.get())) > 0) {
            const int n = std::min(available, kBlock * 8);
            for (int c = 0; c < m_channels; ++c) {
                pointers[static_cast<size_t>(c)] = m_planes[static_cast<size_t>(c)].data();
            }
            const int got = static_cast<int>(
                rubberband_retrieve(m_state.get(), pointers.data(), static_cast<unsigned>(n)));
            int offset = 0;
            if (m_discard > 0) {
                offset =
                    static_cast<int>(std::min<unsigned>(m_discard, static_cast<unsigned>(got)));
                m_discard -= static_cast<unsigned>(offset);
            }
            if (got > offset) {
                std::vector<const float*> shifted(static_cast<size_t>(m_channels));
                for (int c = 0; c < m_channels; ++c) {
                    shifted[static_cast<size_t>(c)] = pointers[static_cast<size_t>(c)] + offset;
                }
                if (StageOutcome written = m_output.write(shifted.data(), got - offset);
                    !written.ok()) {
                    return written;
                }
            }
            if (got <= 0) {
                break;
            }
        }
        return StageOutcome::succeeded();
    }

    int m_channels;
    int64_t m_sourceCount;
    int64_t m_targetCount;
    SegmentOutput& m_output;
    StretcherPtr m_state;
    Planes m_planes;
    Planes m_silence;
    unsigned m_discard = 0;
};

// Decodes one segment's sound and writes it, stretched to the segment's length, after what the
// sink already holds.
StageOutcome renderSegment(const PlacedSegment& segment, const AudioFormat& format,
                           int64_t totalSamples, SoundSink& sink,
                           std::optional<SoundReader>& reader, const std::atomic<bool>& stop) {
    const int64_t targetStart = samplesAt(segment.targetRange.start, format.sampleRate);
    const int64_t targetEnd =
        std::min(totalSamples, samplesAt(segment.targetRange.end(), format.sampleRate));
    const int64_t sourceStart = samplesAt(segment.sourceRange.start, format.sampleRate);
    const int64_t sourceEnd = samplesAt(segment.sourceRange.end(), format.sampleRate);
    if (targetEnd <= targetStart || sourceEnd <= sourceStart) {
        return StageOutcome::succeeded();
    }
    if (targetStart > sink.written()) {
        if (StageOutcome gap = sink.write(nullptr, targetStart - sink.written()); !gap.ok()) {
            return gap;
        }
    }
    // Samples of the segment that land before what is already written are dropped.
    const int64_t skip = std::max<int64_t>(0, sink.written() - targetStart);
    SegmentOutput output(sink, format.channels, targetEnd - targetStart - skip, skip);

    if (!(reader && reader->source().isSame(segment.source))) {
        reader.emplace();
        if (StageOutcome opened = reader->open(segment.source, format); !opened.ok()) {
            return opened;
        }
    }
    const int64_t sourceCount = sourceEnd - sourceStart;
    const int64_t targetCount = targetEnd - targetStart;
    std::optional<Stretcher> stretcher;
    if (sourceCount != targetCount) {
        if (!withinStretchRange(segment)) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "cannot change the speed of the sound %.6g times: at most %d times",
                          segment.targetRange.duration.seconds() /
                              segment.sourceRange.duration.seconds(),
                          kMostStretch);
            return StageOutcome::failed(text);
        }
        stretcher.emplace(format, sourceCount, targetCount, output);
        if (!stretcher->valid()) {
            return StageOutcome::failed("cannot start the time stretcher", AVERROR(ENOMEM));
        }
        if (StageOutcome started = stretcher->start(stop); !started.ok()) {
            return started;
        }
    }
    const StageOutcome read = reader->read(
        sourceStart, sourceEnd,
        [&](const Planes& planes, int count) {
            if (stretcher) {
                return stretcher->process(planes, count, stop);
            }
            std::vector<const float*> pointers;
            for (const auto& plane : planes) {
                pointers.push_back(plane.data());
            }
            return output.write(pointers.data(), count);
        },
        stop);
    if (!read.ok()) {
        return read;
    }
    if (stretcher) {
        if (StageOutcome flushed = stretcher->flush(stop); !flushed.ok()) {
            return flushed;
        }
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
    for (const PlacedSegment& segment : segments) {
        if (stop) {
            return StageOutcome::stopped();
        }
        if (StageOutcome rendered =
                renderSegment(segment, format, totalSamples, sink, reader, stop);
            !rendered.ok()) {
            return rendered;
        }
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
