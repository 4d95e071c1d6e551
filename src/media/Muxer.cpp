#include "media/Muxer.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace lento {

namespace {

// A time on the movie's timeline in some unit.
struct MuxTime {
    int64_t value = 0;
    AVRational unit{1, 1};
};

// Whether `a` comes before `b`, exactly.
bool isBefore(MuxTime a, MuxTime b) {
    return static_cast<__int128>(a.value) * a.unit.num * b.unit.den <
           static_cast<__int128>(b.value) * b.unit.num * a.unit.den;
}

// How much of a stream lasting until `end` lies before `time`.
double shareOf(MuxTime time, MuxTime end) {
    const double length = double(end.value) * av_q2d(end.unit);
    return length > 0 ? std::clamp(double(time.value) * av_q2d(time.unit) / length, 0.0, 1.0) : 1.0;
}

// One stream of the movie as the muxing loop sees it: encoded from a renderer's queue, or
// copied from the source packet by packet.
class Feed {
public:
    virtual ~Feed() = default;
    // Waits for the stream's next item, succeeding with `ended` set once the stream has ended
    // whole; fails or stops as the stream's producer did.
    virtual StageOutcome next(bool& ended) = 0;
    // The next item's time, once `next` has found one.
    virtual MuxTime time() const = 0;
    // Hands the next item to the movie.
    virtual StageOutcome write(MovieWriter& writer) = 0;
    // How much of the stream is written, 0 to 1.
    double done() const { return m_done; }

protected:
    double m_done = 0.0;
};

// Where an item starts and ends on its stream's timeline, and how the movie takes it.
int64_t startOf(const VideoItem& item) {
    return item.pts;
}
int64_t endOf(const VideoItem& item) {
    return item.pts + item.duration;
}
StageOutcome writeItem(MovieWriter& writer, VideoItem& item) {
    return writer.writeVideo(item);
}
int64_t startOf(const AudioItem& item) {
    return item.firstSample;
}
int64_t endOf(const AudioItem& item) {
    return item.firstSample + item.frame->nb_samples;
}
StageOutcome writeItem(MovieWriter& writer, AudioItem& item) {
    return writer.writeAudio(item);
}

// A stream encoded from what a renderer puts in its queue; `end` is the stream's length, in the
// unit of its items' times.
template <typename Item> class QueueFeed : public Feed {
public:
    QueueFeed(BoundedQueue<Item>& queue, MuxTime end) : m_queue(queue), m_end(end) {}
    StageOutcome next(bool& ended) override {
        m_front = m_queue.front();
        ended = m_front == nullptr;
        if (!ended) {
            return StageOutcome::succeeded();
        }
        m_done = 1.0;
        return m_queue.ending();
    }
    MuxTime time() const override { return {startOf(*m_front), m_end.unit}; }
    StageOutcome write(MovieWriter& writer) override {
        std::optional<Item> item = m_queue.pop();
        if (!item) {
            return StageOutcome::stopped();
        }
        if (StageOutcome written = writeItem(writer, *item); !written.ok()) {
            return written;
        }
        m_done = shareOf({endOf(*item), m_end.unit}, m_end);
        return StageOutcome::succeeded();
    }

private:
    BoundedQueue<Item>& m_queue;
    MuxTime m_end;
    const Item* m_front = nullptr;
};

class CopiedFeed : public Feed {
public:
    CopiedFeed(PacketCopier& copier, MediaType type, MuxTime end, PacketPtr packet)
        : m_copier(copier), m_type(type), m_end(end), m_packet(std::move(packet)) {}
    StageOutcome next(bool& ended) override {
        if (!m_pending && !m_ended) {
            if (StageOutcome read = m_copier.next(*m_packet, m_ended); !read.ok()) {
                return read;
            }
            m_pending = !m_ended;
            m_done = m_ended ? 1.0 : m_done;
            // A packet without a time goes with the one before.
            const int64_t stamp = m_packet->dts != AV_NOPTS_VALUE ? m_packet->dts : m_packet->pts;
            if (m_pending && stamp != AV_NOPTS_VALUE) {
                m_time = MuxTime{stamp, m_copier.timeBase()};
            }
        }
        ended = !m_pending;
        return StageOutcome::succeeded();
    }
    MuxTime time() const override { return m_time; }
    StageOutcome write(MovieWriter& writer) override {
        const StageOutcome written = m_type == MediaType::Video
                                         ? writer.writeCopiedVideo(*m_packet)
                                         : writer.writeCopiedAudio(*m_packet);
        if (!written.ok()) {
            return written;
        }
        m_pending = false;
        m_done = shareOf(m_time, m_end);
        return StageOutcome::succeeded();
    }

private:
    PacketCopier& m_copier;
    MediaType m_type;
    MuxTime m_end;
    PacketPtr m_packet;
    MuxTime m_time{0, {1, 1}};
    bool m_pending = false;
    bool m_ended = false;
};

// The movie's streams as the muxing loop takes them.
StageOutcome makeFeeds(StreamPlan& streams, BoundedQueue<VideoItem>& pictures,
                       BoundedQueue<AudioItem>& sound, std::vector<std::unique_ptr<Feed>>& feeds) {
    const auto copied = [&](PacketCopier& copier, MediaType type, MuxTime end) {
        PacketPtr packet = makePacket();
        if (!packet) {
            return StageOutcome::outOfMemory();
        }
        feeds.push_back(std::make_unique<CopiedFeed>(copier, type, end, std::move(packet)));
        return StageOutcome::succeeded();
    };
    const MuxTime videoEnd{streams.videoEnd, {1, kVideoTimescale}};
    const MuxTime audioEnd{streams.audioEnd, {1, streams.audio.sampleRate}};
    if (streams.videoCopier) {
        if (StageOutcome made = copied(*streams.videoCopier, MediaType::Video, videoEnd);
            !made.ok()) {
            return made;
        }
    } else if (streams.hasVideo) {
        feeds.push_back(std::make_unique<QueueFeed<VideoItem>>(pictures, videoEnd));
    }
    if (streams.audioCopier) {
        return copied(*streams.audioCopier, MediaType::Audio, audioEnd);
    }
    if (streams.hasAudio) {
        feeds.push_back(std::make_unique<QueueFeed<AudioItem>>(sound, audioEnd));
    }
    return StageOutcome::succeeded();
}

} // namespace

StageOutcome interleave(MovieWriter& writer, StreamPlan& streams, BoundedQueue<VideoItem>& pictures,
                        BoundedQueue<AudioItem>& sound, const std::function<bool()>& stopped,
                        const std::function<void(float)>& progress) {
    std::vector<std::unique_ptr<Feed>> feeds;
    if (StageOutcome made = makeFeeds(streams, pictures, sound, feeds); !made.ok()) {
        return made;
    }
    while (true) {
        if (stopped()) {
            return StageOutcome::stopped();
        }
        Feed* first = nullptr;
        for (const auto& feed : feeds) {
            bool ended = false;
            if (StageOutcome next = feed->next(ended); !next.ok()) {
                return next;
            }
            if (!ended && (first == nullptr || isBefore(feed->time(), first->time()))) {
                first = feed.get();
            }
        }
        if (first == nullptr) {
            return StageOutcome::succeeded();
        }
        if (StageOutcome wrote = first->write(writer); !wrote.ok()) {
            return wrote;
        }
        double done = 1.0;
        for (const auto& feed : feeds) {
            done = std::min(done, feed->done());
        }
        progress(static_cast<float>(0.99 * done));
    }
}

} // namespace lento
