#include "media/MapStretcher.h"

#include "media/SoundSink.h"

#include <rubberband/rubberband-c.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <type_traits>
#include <utility>

namespace lento {

namespace {

constexpr int64_t kBlock = kSoundBlock;

using SampleRange = std::pair<int64_t, int64_t>;

bool withinStretch(SpeedFactor factor) {
    return factor.num() <= MapStretcher::kMostStretch * factor.den() &&
           factor.den() <= MapStretcher::kMostStretch * factor.num();
}

// Zeroes the samples of `planes` from `offset` on, `count` of them, that fall in `ranges`;
// `first` is the sample number of planes[.][offset]. `ranges` are in order and apart, so only
// those that meet the block are visited (an edit may mute a hundred thousand sections).
void silence(Planes& planes, size_t offset, int64_t count, int64_t first,
             const std::vector<SampleRange>& ranges) {
    auto range = std::upper_bound(ranges.begin(), ranges.end(), first,
                                  [](int64_t at, const SampleRange& r) { return at < r.second; });
    for (; range != ranges.end() && range->first < first + count; ++range) {
        const auto& [from, to] = *range;
        const int64_t begin = std::clamp<int64_t>(from - first, 0, count);
        const int64_t end = std::clamp<int64_t>(to - first, 0, count);
        for (auto& plane : planes) {
            std::fill(plane.begin() + static_cast<std::ptrdiff_t>(offset + size_t(begin)),
                      plane.begin() + static_cast<std::ptrdiff_t>(offset + size_t(end)), 0.0f);
        }
    }
}

} // namespace

class MapStretcher::Engine {
public:
    Engine(const MapStretcher& owner, int64_t first)
        : m_owner(owner), m_position(first), m_outputFirst(owner.outputSample(first)),
          m_input(size_t(owner.m_channels), std::vector<float>(kBlock)),
          m_made(size_t(owner.m_channels), std::vector<float>(kBlock)),
          m_pending(size_t(owner.m_channels)) {
        for (const MediaTimeRange& range : owner.m_muted) {
            m_mutedSource.emplace_back(range.start.convertScale(owner.m_sampleRate).value,
                                       range.end().convertScale(owner.m_sampleRate).value);
            m_mutedOutput.emplace_back(
                owner.m_map.outputTime(range.start, owner.m_sampleRate).value,
                owner.m_map.outputTime(range.end(), owner.m_sampleRate).value);
        }
        std::sort(m_mutedSource.begin(), m_mutedSource.end());
        std::sort(m_mutedOutput.begin(), m_mutedOutput.end());
        const auto& pieces = owner.m_map.pieces();
        m_retimed = std::any_of(pieces.begin(), pieces.end(), [](const TimeMap::Piece& piece) {
            return !piece.from.isOne() || !piece.to.isOne();
        });
    }

    StageOutcome start(StretcherPtr& spare) {
        if (!m_retimed) {
            return StageOutcome::succeeded();
        }
        if (spare) {
            m_state = std::move(spare);
            rubberband_reset(m_state.get());
            rubberband_set_time_ratio(m_state.get(), ratioAt(m_position, kBlock));
            return prime();
        }
        // The finer engine in its short-window mode, as for constant factors; real time, so
        // that the ratio can follow the map from block to block.
        const RubberBandOptions options = RubberBandOptionProcessRealTime |
                                          RubberBandOptionEngineFiner | RubberBandOptionWindowShort;
        m_state.reset(rubberband_new(static_cast<unsigned>(m_owner.m_sampleRate),
                                     static_cast<unsigned>(m_owner.m_channels), options,
                                     ratioAt(m_position, kBlock), 1.0));
        if (!m_state) {
            return StageOutcome::failed("cannot start the time stretcher", AVERROR(ENOMEM));
        }
        rubberband_set_max_process_size(m_state.get(), kBlock);
        return prime();
    }

    StretcherPtr release() { return std::move(m_state); }

    // Readies a new or reset Rubber Band for the sound from m_position on.
    StageOutcome prime() {
        m_discard = rubberband_get_start_delay(m_state.get());
        // Rubber Band applies the ratio it holds when a block comes in to the analysis frame
        // centred half its window before that block: the ratio it is given for a block is the
        // map's from that far back. Measured on bursts through ramps to 10 times slower: given
        // the map's ratio at the block itself, the sound fell behind by up to 125 ms at x10
        // (what the finer engine holds back, 1280 samples at 48 kHz, times the change of
        // ratio); half the delay back, within 10 ms.
        m_lag = m_discard / 2;
        // Primed with silence, so that the first sample comes out at the very start.
        for (auto& plane : m_input) {
            std::fill(plane.begin(), plane.end(), 0.0f);
        }
        for (int64_t pad = rubberband_get_preferred_start_pad(m_state.get()); pad > 0;
             pad -= kBlock) {
            process(std::min(pad, kBlock), m_position);
        }
        return StageOutcome::succeeded();
    }

    StageOutcome push(const float* const* planes, int64_t count, const Sink& sink,
                      const std::atomic<bool>& stop) {
        for (int64_t done = 0; done < count;) {
            if (stop) {
                return StageOutcome::stopped();
            }
            int64_t n = std::min(kBlock, count - done);
            if (m_state) {
                const auto required = int64_t(rubberband_get_samples_required(m_state.get()));
                n = std::clamp<int64_t>(required, 1, n);
            }
            for (size_t c = 0; c < m_input.size(); ++c) {
                std::copy(planes[c] + done, planes[c] + done + n, m_input[c].begin());
            }
            silence(m_input, 0, n, m_position, m_mutedSource);
            if (m_state) {
                process(n, m_position);
            } else {
                append(m_input, n);
            }
            m_position += n;
            done += n;
            if (StageOutcome delivered = deliver(sink); !delivered.ok()) {
                return delivered;
            }
        }
        return StageOutcome::succeeded();
    }

    StageOutcome finish(const Sink& sink, const std::atomic<bool>& stop) {
        const int64_t total = m_owner.outputSample(m_position) - m_outputFirst;
        if (m_state) {
            // Silence after the sound until the stretch is complete, or until the stretcher
            // has had all the silence that can still matter.
            for (auto& plane : m_input) {
                std::fill(plane.begin(), plane.end(), 0.0f);
            }
            int64_t at = m_position;
            for (int64_t budget = int64_t(rubberband_get_latency(m_state.get())) + 8 * kBlock +
                                  (total - m_emitted) * kMostStretch;
                 m_emitted + pendingCount() < total && budget > 0; budget -= kBlock) {
                if (stop) {
                    return StageOutcome::stopped();
                }
                // The speed of the sound's end carries on past it: what the stretcher still
                // holds is the end, and the map runs at the speed of 1 after the source.
                process(kBlock, std::min(at, m_position - kBlock + m_lag));
                at += kBlock;
            }
            retrieve();
        }
        if (StageOutcome delivered = deliver(sink); !delivered.ok()) {
            return delivered;
        }
        // Should the stretcher ever give less, silence makes up the length.
        for (auto& plane : m_input) {
            std::fill(plane.begin(), plane.end(), 0.0f);
        }
        std::vector<const float*> pointers;
        for (const auto& plane : m_input) {
            pointers.push_back(plane.data());
        }
        while (m_emitted < total) {
            const int64_t n = std::min(kBlock, total - m_emitted);
            if (StageOutcome padded = sink(pointers.data(), n); !padded.ok()) {
                return padded;
            }
            m_emitted += n;
        }
        return StageOutcome::succeeded();
    }

private:
    // The ratio over [sample, sample + n) of the source.
    double ratioAt(int64_t sample, int64_t n) const {
        return std::clamp(double(m_owner.outputSample(sample + n) - m_owner.outputSample(sample)) /
                              double(n),
                          1.0 / kMostStretch, double(kMostStretch));
    }

    // Hands Rubber Band the first `n` samples of m_input at the ratio for source sample `at`,
    // after taking out what it made: it keeps what it made until then.
    void process(int64_t n, int64_t at) {
        retrieve();
        rubberband_set_time_ratio(m_state.get(), ratioAt(at - m_lag, n));
        std::vector<const float*> pointers;
        for (const auto& plane : m_input) {
            pointers.push_back(plane.data());
        }
        rubberband_process(m_state.get(), pointers.data(), static_cast<unsigned>(n), 0);
    }

    void retrieve() {
        std::vector<float*> pointers;
        for (auto& plane : m_made) {
            pointers.push_back(plane.data());
        }
        int available = 0;
        while ((available = rubberband_available(m_state.get())) > 0) {
            const auto got = int64_t(
                rubberband_retrieve(m_state.get(), pointers.data(),
                                    static_cast<unsigned>(std::min<int64_t>(available, kBlock))));
            if (got <= 0) {
                break;
            }
            const int64_t skipped = std::min<int64_t>(m_discard, got);
            m_discard -= static_cast<unsigned>(skipped);
            for (size_t c = 0; c < m_made.size(); ++c) {
                m_pending[c].insert(m_pending[c].end(), m_made[c].begin() + skipped,
                                    m_made[c].begin() + got);
            }
        }
    }

    void append(const Planes& planes, int64_t n) {
        for (size_t c = 0; c < planes.size(); ++c) {
            m_pending[c].insert(m_pending[c].end(), planes[c].begin(), planes[c].begin() + n);
        }
    }

    int64_t pendingCount() const { return int64_t(m_pending.front().size()); }

    // Hands on what is made, up to the output of the source samples given so far.
    StageOutcome deliver(const Sink& sink) {
        if (m_state) {
            retrieve();
        }
        const int64_t limit = m_owner.outputSample(m_position) - m_outputFirst;
        const int64_t n = std::min(pendingCount(), limit - m_emitted);
        if (n <= 0) {
            return StageOutcome::succeeded();
        }
        silence(m_pending, 0, n, m_outputFirst + m_emitted, m_mutedOutput);
        std::vector<const float*> pointers;
        for (const auto& plane : m_pending) {
            pointers.push_back(plane.data());
        }
        if (StageOutcome taken = sink(pointers.data(), n); !taken.ok()) {
            return taken;
        }
        m_emitted += n;
        for (auto& plane : m_pending) {
            plane.erase(plane.begin(), plane.begin() + n);
        }
        return StageOutcome::succeeded();
    }

    const MapStretcher& m_owner;
    StretcherPtr m_state;
    bool m_retimed = false;
    unsigned m_discard = 0;
    int64_t m_lag = 0;
    int64_t m_position;    // the next source sample
    int64_t m_outputFirst; // the output sample of the first
    int64_t m_emitted = 0; // output samples handed on
    std::vector<SampleRange> m_mutedSource, m_mutedOutput;
    Planes m_input, m_made, m_pending;
};

MapStretcher::MapStretcher(TimeMap map, int sampleRate, int channels,
                           std::vector<MediaTimeRange> muted)
    : m_map(std::move(map)), m_sampleRate(sampleRate), m_channels(channels),
      m_muted(std::move(muted)) {}

MapStretcher::~MapStretcher() = default;

void MapStretcher::retime(TimeMap map, std::vector<MediaTimeRange> muted) {
    m_engine.reset();
    m_map = std::move(map);
    m_muted = std::move(muted);
}

int64_t MapStretcher::outputSample(int64_t sourceSample) const {
    return m_map.outputTime(MediaTime::make(sourceSample, m_sampleRate), m_sampleRate).value;
}

StageOutcome MapStretcher::start(int64_t firstSample) {
    m_engine.reset();
    for (const TimeMap::Piece& piece : m_map.pieces()) {
        if (!withinStretch(piece.from) || !withinStretch(piece.to)) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "cannot change the speed of the sound %s times: at most %d times",
                          (withinStretch(piece.from) ? piece.to : piece.from).text().c_str(),
                          kMostStretch);
            return StageOutcome::failed(text);
        }
    }
    auto engine = std::make_unique<Engine>(*this, firstSample);
    if (StageOutcome started = engine->start(m_spare); !started.ok()) {
        return started;
    }
    m_engine = std::move(engine);
    return StageOutcome::succeeded();
}

StageOutcome MapStretcher::push(const float* const* planes, int64_t count, const Sink& sink,
                                const std::atomic<bool>& stop) {
    if (!m_engine) {
        return StageOutcome::failed("the time stretcher was not started");
    }
    return m_engine->push(planes, count, sink, stop);
}

StageOutcome MapStretcher::finish(const Sink& sink, const std::atomic<bool>& stop) {
    if (!m_engine) {
        return StageOutcome::failed("the time stretcher was not started");
    }
    StageOutcome finished = m_engine->finish(sink, stop);
    if (StretcherPtr state = m_engine->release()) {
        m_spare = std::move(state);
    }
    m_engine.reset();
    return finished;
}

} // namespace lento
