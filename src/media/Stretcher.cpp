#include "media/Stretcher.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace lento {

bool withinStretchRange(const PlacedSegment& segment) {
    const MediaTime target = segment.targetRange.duration;
    const MediaTime source = segment.sourceRange.duration;
    return target <= source * kMostStretch && source <= target * kMostStretch;
}

Stretcher::Stretcher(const AudioFormat& format, int64_t sourceCount, int64_t targetCount,
                     SegmentOutput& output)
    : m_channels(format.channels), m_sourceCount(sourceCount), m_targetCount(targetCount),
      m_output(output) {
    // The finer engine in its short-window mode: two thirds of the faster engine's time
    // (0.37 s against 0.55 s for 30 s of stretched mono sound), the larger part of an
    // export whose pictures are copied; beeps stay on their flashes as closely (29 ms
    // against 22 ms at x3, with 100 ms pictures).
    const RubberBandOptions options =
        RubberBandOptionProcessRealTime | RubberBandOptionEngineFiner | RubberBandOptionWindowShort;
    const double ratio = std::clamp(double(targetCount) / double(sourceCount), 1.0 / kMostStretch,
                                    double(kMostStretch));
    m_state.reset(rubberband_new(static_cast<unsigned>(format.sampleRate),
                                 static_cast<unsigned>(format.channels), options, ratio, 1.0));
    if (!m_state) {
        return;
    }
    rubberband_set_max_process_size(m_state.get(), kSoundBlock);
    m_planes.assign(static_cast<size_t>(m_channels), std::vector<float>(kSoundBlock * 8));
    m_silence.assign(static_cast<size_t>(m_channels), std::vector<float>(kSoundBlock, 0.0f));
    m_discard = rubberband_get_start_delay(m_state.get());
}

StageOutcome Stretcher::start(const std::atomic<bool>& stop) {
    int pad = static_cast<int>(rubberband_get_preferred_start_pad(m_state.get()));
    while (pad > 0) {
        const int n = std::min(pad, kSoundBlock);
        if (StageOutcome processed = process(m_silence, n, stop); !processed.ok()) {
            return processed;
        }
        pad -= n;
    }
    return StageOutcome::succeeded();
}

StageOutcome Stretcher::process(const Planes& input, int count, const std::atomic<bool>& stop) {
    std::vector<const float*> pointers(static_cast<size_t>(m_channels));
    for (int c = 0; c < m_channels; ++c) {
        pointers[static_cast<size_t>(c)] = input[static_cast<size_t>(c)].data();
    }
    return feed(pointers, count, stop);
}

StageOutcome Stretcher::flush(const std::atomic<bool>& stop) {
    // The input that yields what is still owed, plus what the stretcher holds back.
    int64_t budget = av_rescale_rnd(m_output.left(), m_sourceCount, m_targetCount, AV_ROUND_UP) +
                     rubberband_get_latency(m_state.get()) + 4 * kSoundBlock;
    while (!m_output.full() && budget > 0) {
        const int n = static_cast<int>(std::min<int64_t>(budget, kSoundBlock));
        if (StageOutcome processed = process(m_silence, n, stop); !processed.ok()) {
            return processed;
        }
        budget -= n;
    }
    return stop ? StageOutcome::stopped() : StageOutcome::succeeded();
}

// In real-time mode Rubber Band does all its work inside rubberband_process, and holds both
// what it was given and what it made until they are taken out. So it is handed no more than it
// asks for, and what it made is taken out before every step: its buffers never fill, and every
// round hands it at least one sample, so the loop always ends.
StageOutcome Stretcher::feed(const std::vector<const float*>& planes, int count,
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
            rubberband_get_samples_required(m_state.get()), static_cast<unsigned>(kSoundBlock)));
        const int n = std::clamp(required, 1, count - offset);
        for (size_t c = 0; c < planes.size(); ++c) {
            shifted[c] = planes[c] + offset;
        }
        rubberband_process(m_state.get(), shifted.data(), static_cast<unsigned>(n), 0);
        offset += n;
    }
    return retrieve();
}

StageOutcome Stretcher::retrieve() {
    std::vector<float*> pointers(static_cast<size_t>(m_channels));
    int available = 0;
    while ((available = rubberband_available(m_state.get())) > 0) {
        const int n = std::min(available, kSoundBlock * 8);
        for (int c = 0; c < m_channels; ++c) {
            pointers[static_cast<size_t>(c)] = m_planes[static_cast<size_t>(c)].data();
        }
        const int got = static_cast<int>(
            rubberband_retrieve(m_state.get(), pointers.data(), static_cast<unsigned>(n)));
        int offset = 0;
        if (m_discard > 0) {
            offset = static_cast<int>(std::min<unsigned>(m_discard, static_cast<unsigned>(got)));
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

} // namespace lento
