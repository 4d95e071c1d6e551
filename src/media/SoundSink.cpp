#include "media/SoundSink.h"

#include <algorithm>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

namespace lento {

void AudioFifoDeleter::operator()(AVAudioFifo* fifo) const {
    av_audio_fifo_free(fifo);
}

SoundSink::SoundSink(const AudioFormat& format, BoundedQueue<AudioItem>& queue)
    : m_format(format), m_queue(queue),
      m_fifo(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, format.channels, format.frameSize * 4)) {}

int64_t SoundSink::written() const {
    return m_handedOut + av_audio_fifo_size(m_fifo.get());
}

StageOutcome SoundSink::write(const float* const* planes, int64_t count) {
    if (planes == nullptr) {
        m_silence.resize(static_cast<size_t>(m_format.frameSize));
        const std::vector<void*> pointers(static_cast<size_t>(m_format.channels), m_silence.data());
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

StageOutcome SoundSink::append(void* const* planes, int count) {
    if (av_audio_fifo_write(m_fifo.get(), const_cast<void**>(planes), count) < count) {
        return StageOutcome::outOfMemory();
    }
    return drain(false);
}

StageOutcome SoundSink::drain(bool all) {
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
            av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(frame->extended_data), n) <
                n) {
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

StageOutcome SegmentOutput::write(const float* const* planes, int count) {
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

StageOutcome SegmentOutput::finish() {
    m_skip = 0;
    const int64_t left = std::max<int64_t>(0, m_left);
    m_left = 0;
    return m_sink.write(nullptr, left);
}

} // namespace lento
