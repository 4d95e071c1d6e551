// How fast the track's overview of a long video arrives: the first thumbnail, the whole strip,
// the whole waveform, from the request. Three runs each on two 10-minute 1080p 30 fps H.264 clips
// with sound, made once by ffmpeg into the build tree: one with x264's default key frame interval
// (250 frames), one with a key frame every second, as cameras and phones record. Each thumbnail
// shows the picture at its time, decoded from the key frame before it: the first clip costs up to
// 250 pictures a thumbnail, the second up to 30. The strips are what an 1800-point track asks for
// (24 thumbnails of 75x42 pixels: every one of them falls on a key frame of the first clip, 25 s
// being three of its intervals) and what a 1280-point one does (17, which fall anywhere).
// Targets: the first thumbnail within 0.5 s, everything within 2 s where the key frames allow.
#include "media/TrackOverview.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

// The clip, made with ffmpeg's `keyFrames` options the first time it is asked for.
QString clipPath(const QString& name, const QString& keyFrames) {
    const QString dir = QStringLiteral(LENTO_BINARY_DIR "/bench");
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".mp4");
    if (QFile::exists(path)) {
        return path;
    }
    QDir().mkpath(dir);
    const QString partial = dir + QLatin1Char('/') + name + QStringLiteral(".tmp.mp4");
    const QString command =
        QStringLiteral("ffmpeg -y -nostdin -loglevel error"
                       " -f lavfi -i testsrc2=s=1920x1080:r=30:d=600"
                       " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=600"
                       " -c:v libx264 -preset ultrafast %1 -pix_fmt yuv420p"
                       " -c:a aac -b:a 128k -threads 1 '%2'")
            .arg(keyFrames, partial);
    std::printf("making %s (some minutes) ...\n", qPrintable(path));
    if (std::system(command.toLocal8Bit().constData()) != 0 || !QFile::rename(partial, path)) {
        return {};
    }
    return path;
}

void timeStrip(const QString& path, int count) {
    const QSize size(75, 42);
    for (int run = 1; run <= 3; ++run) {
        lento::TrackOverview overview;
        QElapsedTimer clock;
        qint64 first = -1, strip = -1, waveform = -1;
        QObject::connect(&overview, &lento::TrackOverview::thumbnailReady, [&] {
            if (first < 0) {
                first = clock.elapsed();
            }
            if (overview.thumbnailsComplete() && strip < 0) {
                strip = clock.elapsed();
            }
        });
        clock.start();
        overview.request(path.toStdString(), count, size);
        while (!(overview.thumbnailsComplete() && overview.waveformComplete())) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (strip < 0 && overview.thumbnailsComplete()) {
                strip = clock.elapsed();
            }
            if (waveform < 0 && overview.waveformComplete()) {
                waveform = clock.elapsed();
            }
            QThread::usleep(200);
        }
        if (waveform < 0) {
            waveform = clock.elapsed();
        }
        if (strip < 0) {
            strip = clock.elapsed();
        }
        std::printf("  run %d: first thumbnail %lld ms, %d thumbnails %lld ms, waveform %lld ms, "
                    "all %lld ms\n",
                    run, static_cast<long long>(first), count, static_cast<long long>(strip),
                    static_cast<long long>(waveform), static_cast<long long>(clock.elapsed()));
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const struct {
        const char* name;
        const char* keyFrames;
        const char* title;
    } clips[] = {
        {"overview-1080p", "", "key frame every 250 frames"},
        {"overview-1080p-g30", "-g 30", "key frame every second"},
    };
    for (const auto& clip : clips) {
        const QString path =
            clipPath(QString::fromLatin1(clip.name), QString::fromLatin1(clip.keyFrames));
        if (path.isEmpty()) {
            std::fprintf(stderr, "ffmpeg could not make the clip\n");
            return 1;
        }
        for (const int count : {24, 17}) {
            std::printf("%s, %d thumbnails:\n", clip.title, count);
            timeStrip(path, count);
        }
    }
    return 0;
}
