#include "media/MapStretcher.h"

#include "media/SoundSink.h"

#include <rubberband/rubberband-c.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>
#include <utility>

namespace lento {

namespace {

constexpr int64_t kBlock = kSoundBlock;
// Rubber Band's first hop through its input, before it has made one: a guess, which the next
// hop makes up for.
constexpr int64_t kFirstHop = 256;
// How far the sound may be from its place, in output samples, before a hop makes it up: a
// millisecond or so.
constexpr double kInPlace = 48;

using SampleRange = std::pair<int64_t, int64_t>;

// A factor stretches den source ticks to num.
bool factorWithinStretch(SpeedFactor factor) {
    return MapStretcher::withinStretch(MediaTime::make(factor.den(), 1),
                                       MediaTime::make(factor.num(), 1));
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
        : m_owner(owner), m_first(first), m_position(first),
          m_outputFirst(owner.outputSample(first)),
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
            return prime();
        }
        // The finer engine in its short-window mode, as for constant factors; real time, so
        // that the ratio can follow the map from hop to hop.
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
        rubberband_set_time_ratio(m_state.get(), ratioAt(m_position, kBlock));
        m_discard = rubberband_get_start_delay(m_state.get());
        m_startDelay = m_discard;
        // Nothing given yet: what it asks for is the whole frame it analyses.
        m_frame = int64_t(rubberband_get_samples_required(m_state.get()));
        m_given = 0;
        m_produced = 0;
        m_hop = kFirstHop;
        // Primed with silence, so that the first sample comes out at the very start.
        for (auto& plane : m_input) {
            std::fill(plane.begin(), plane.end(), 0.0f);
        }
        const auto pad = int64_t(rubberband_get_preferred_start_pad(m_state.get()));
        for (int64_t left = pad; left > 0; left -= kBlock) {
            feed(std::min(left, kBlock), rubberband_get_time_ratio(m_state.get()));
        }
        m_pad = pad;
        return StageOutcome::succeeded();
    }

    StageOutcome push(const float* const* planes, int64_t count, const Sink& sink,
                      const std::atomic<bool>& stop) {
        for (int64_t done = 0; done < count;) {
            if (stop) {
                return StageOutcome::stopped();
            }
            int64_t n = std::min(kBlock, count - done);
            for (size_t c = 0; c < m_input.size(); ++c) {
                std::copy(planes[c] + done, planes[c] + done + n, m_input[c].begin());
            }
            silence(m_input, 0, n, m_position, m_mutedSource);
            if (m_state) {
                n = process(n, std::numeric_limits<int64_t>::max());
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
            for (int64_t budget = int64_t(rubberband_get_latency(m_state.get())) + 8 * kBlock +
                                  (total - m_emitted) * kMostStretch;
                 m_emitted + pendingCount() < total && budget > 0;) {
                if (stop) {
                    return StageOutcome::stopped();
                }
                budget -= process(kBlock, m_position);
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

    // Where the map puts source sample `first + offset`, counted from the first's output; past
    // `end`, the last source sample given, the speed of the sound's end carries on (what the
    // stretcher still holds then is the end, and the map runs at the speed of 1 after it).
    double target(int64_t offset, int64_t end) const {
        const int64_t sample = m_first + offset;
        if (sample <= end) {
            return double(m_owner.outputSample(sample) - m_outputFirst);
        }
        const int64_t tail = std::min<int64_t>(kBlock, end - m_first);
        const double ratio = tail > 0 ? ratioAt(end - tail, tail) : 1.0;
        return double(m_owner.outputSample(end) - m_outputFirst) + double(sample - end) * ratio;
    }

    // Hands Rubber Band the first `n` samples of m_input, or those that complete its frame
    // (so that each call makes at most one hop), after taking out what it made (it keeps what it
    // made until then); returns how many it took. `end` is the source sample after the last
    // given (see target()).
    //
    // Rubber Band analyses a frame at each hop through its input and places the next frame's
    // sound a hop at its ratio after it; given the map's ratio, it makes a little less or more
    // than the ratio says wherever the ratio changes (its own correction re-bases at each new
    // ratio), and the error stays: 1.7% over sections of 100 ms at x3 and x1 in turn, 7.5% over
    // 25 ms ones. So the ratio of each hop is the one that brings what it has made, after the
    // hop, to where the map puts the source it has taken in by then: whatever it makes of a
    // ratio, the next hop makes up for, and the count of samples made follows the map to the
    // sample. Both are counted `lead` ahead: a burst's stretched sound rises as soon as the
    // frames that hold its start come out, and measured on 10 ms bursts from x1 to x10 at 44.1
    // and 48 kHz it lands on its place, within 32 ms, with both two thirds of Rubber Band's
    // frame ahead (half of it: up to 99 ms early at x10; three quarters: up to 65 ms late).
    int64_t process(int64_t n, int64_t end) {
        retrieve();
        // All that it made is taken out, so it asks for what it lacks of a frame.
        const auto required = int64_t(rubberband_get_samples_required(m_state.get()));
        if (required <= 0 || required > n) {
            feed(n, rubberband_get_time_ratio(m_state.get()));
            return n;
        }
        const int64_t lead = 2 * m_frame / 3;
        // The source taken in after this hop's frame, and the output made, counted from the first
        // source sample and its output; the hop takes in about as much as the last one did.
        const int64_t taken = m_given + required - m_frame - m_pad + lead;
        const double made = double(m_produced) - double(m_startDelay) + double(lead);
        const double here = target(taken, end);
        const double next = target(taken + m_hop, end);
        const double map = std::max((next - here) / double(m_hop), 1.0 / kMostStretch);
        // The map's own ratio while the sound is within a hair of its place: at a steady ratio
        // Rubber Band keeps its hop and reuses the analysis it read ahead, which a ratio that
        // wavers by a sample would make it do anew at every hop. Else one that makes up the
        // difference, within twice the map's either way, should a hop ever be far off.
        const bool inPlace = std::abs(made - here) <= kInPlace;
        feed(required, inPlace ? map : std::clamp((next - made) / double(m_hop), map / 2, map * 2));
        // What it asks for now is the hop it went on by.
        retrieve();
        m_hop = std::max<int64_t>(1, int64_t(rubberband_get_samples_required(m_state.get())));
        return required;
    }

    void feed(int64_t n, double ratio) {
        rubberband_set_time_ratio(m_state.get(), ratio);
        std::vector<const float*> pointers;
        for (const auto& plane : m_input) {
            pointers.push_back(plane.data());
        }
        rubberband_process(m_state.get(), pointers.data(), static_cast<unsigned>(n), 0);
        m_given += n;
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
            m_produced += got;
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
    unsigned m_discard = 0;    // of Rubber Band's output, still to be dropped
    unsigned m_startDelay = 0; // all it drops
    int64_t m_frame = 0;       // the samples of the frame it analyses
    int64_t m_pad = 0;         // the silence it was primed with
    int64_t m_hop = 0;         // the input it went on by, the last hop
    int64_t m_given = 0;       // samples it took in, the pad included
    int64_t m_produced = 0;    // samples it gave out, those dropped included
    int64_t m_first;           // the first source sample
    int64_t m_position;        // the next source sample
    int64_t m_outputFirst;     // the output sample of the first
    int64_t m_emitted = 0;     // output samples handed on
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
        if (!factorWithinStretch(piece.from) || !factorWithinStretch(piece.to)) {
            char text[128];
            std::snprintf(text, sizeof text,
                          "cannot change the speed of the sound %s times: at most %d times",
                          (factorWithinStretch(piece.from) ? piece.to : piece.from).text().c_str(),
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
