#pragma once

#include "media/MediaTime.h"

#include <QImage>
#include <QObject>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace lento {

// The pictures a track shows of its video: a filmstrip of thumbnails and the sound's waveform,
// made by two worker threads so that neither the window nor playback waits for them.
//
// Contract:
// - request() names a file and a strip (how many thumbnails, of what size). Thumbnail i shows
//   the picture on show at i/count of the duration, decoded from the key frame before it (on
//   from the last one decoded where no key frame lies between); only that picture is scaled, to
//   the pixel size asked for. A thumbnail costs up to one group of pictures of decoding: 30
//   pictures where a camera puts a key frame every second, 250 with x264's default
//   (bench/overview times both).
//   Thumbnails arrive coarse to fine (first, middle, quarters...), so the whole strip is
//   sketched early.
// - Results are handed to the main thread by queued calls and announced by the signals; a
//   result of an older request is never announced.
// - A new file cancels everything of the old one; a strip of another size cancels only the old
//   strip. Finished strips are kept per size, so that going back to a width shows at once.
// - The waveform is made once per file, at kWaveformBins peaks over the duration, whatever the
//   strip; a file without sound has an empty waveform.
// - cancel() returns at once; the workers notice it between two packets. The destructor waits
//   for them, which is at most one packet's decoding.
class TrackOverview : public QObject {
    Q_OBJECT
public:
    static constexpr int kWaveformBins = 2048;

    explicit TrackOverview(QObject* parent = nullptr);
    ~TrackOverview() override;
    TrackOverview(const TrackOverview&) = delete;
    TrackOverview& operator=(const TrackOverview&) = delete;

    // `size` is upright; `rotation` (clockwise degrees, a multiple of 90) turns the stored
    // pictures upright, as the player shows them.
    void request(const std::string& path, int count, QSize size, int rotation = 0);
    void cancel();
    // Cancels and forgets the file: no thumbnails, no waveform, nothing kept for a later request.
    void clear();
    // Whether a worker of the current request is still at work.
    bool isRunning() const;

    const std::string& path() const { return m_path; }
    // The current strip: a null image where a thumbnail has not arrived yet.
    const std::vector<QImage>& thumbnails() const { return m_strip.images; }
    // The source time of each thumbnail's picture; invalid where none has arrived.
    const std::vector<MediaTime>& thumbnailTimes() const { return m_strip.times; }
    // Peaks from 0 to 1; zero where the worker has not got to yet.
    const std::vector<float>& waveform() const { return m_waveform; }
    bool waveformComplete() const { return m_waveformComplete; }
    bool thumbnailsComplete() const { return m_strip.complete; }
    // Why the finished strip lacks thumbnails (the file has no pictures, a read failed); empty
    // when it has them all.
    const std::string& thumbnailsError() const { return m_strip.error; }

signals:
    void thumbnailReady(int index);
    void waveformChanged();
    // Both workers of the current request are done (also when one failed to open the file).
    void finished();

public:
    // Shared by a request's workers and its owner; the workers hold it past a cancel.
    struct Job {
        uint64_t id = 0;
        std::string path;
        int count = 0;
        QSize size;
        int rotation = 0;
        std::atomic<bool> cancelled{false};
    };

private:
    struct Strip {
        int count = 0;
        QSize size;
        std::vector<QImage> images;
        std::vector<MediaTime> times;
        bool complete = false;
        std::string error;
    };

    void startStrip();
    void startWaveform();
    void takeThumbnail(uint64_t job, int index, const QImage& image, MediaTime time);
    void takeThumbnailsDone(uint64_t job, const std::string& error);
    void takeWaveform(uint64_t job, std::vector<float> peaks, bool complete);
    void announceIfFinished();
    void joinFinishedWorkers();

    std::string m_path;
    int m_rotation = 0;
    uint64_t m_nextJob = 1;
    std::shared_ptr<Job> m_stripJob;
    std::shared_ptr<Job> m_waveformJob;
    Strip m_strip;
    std::map<std::pair<int, int64_t>, Strip> m_finishedStrips; // by count and packed size
    std::vector<float> m_waveform;
    bool m_waveformComplete = false;
    bool m_announced = false;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> m_workers;
};

} // namespace lento
