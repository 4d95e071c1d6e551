// How fast the track's overview of a long video arrives: the first thumbnail, the whole strip,
// the whole waveform, from the request. Three runs on a 10-minute 1080p 30 fps H.264 clip with
// sound (x264's default key frame interval), made once by ffmpeg into the build tree. The strip
// is what a 1800-point track asks for: 24 thumbnails of 75x42 pixels. Targets: the first
// thumbnail within 0.5 s, everything within 5 s.

#include "media/TrackOverview.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

QString clipPath() {
    const QString dir = QStringLiteral(LENTO_BINARY_DIR "/bench");
    const QString path = dir + QStringLiteral("/overview-1080p.mp4");
    if (QFile::exists(path)) {
        return path;
    }
    QDir().mkpath(dir);
    const QString partial = dir + QStringLiteral("/overview-1080p.tmp.mp4");
    const QString command =
        QStringLiteral("ffmpeg -y -nostdin -loglevel error"
                       " -f lavfi -i testsrc2=s=1920x1080:r=30:d=600"
                       " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=600"
                       " -c:v libx264 -preset ultrafast -pix_fmt yuv420p"
                       " -c:a aac -b:a 128k -threads 1 '%1'")
            .arg(partial);
    std::printf("making %s (some minutes) ...\n", qPrintable(path));
    if (std::system(command.toLocal8Bit().constData()) != 0 || !QFile::rename(partial, path)) {
        return {};
    }
    return path;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString path = clipPath();
    if (path.isEmpty()) {
        std::fprintf(stderr, "ffmpeg could not make the clip\n");
        return 1;
    }
    constexpr int kCount = 24;
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
        overview.request(path.toStdString(), kCount, size);
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
        std::printf("run %d: first thumbnail %lld ms, %d thumbnails %lld ms, waveform %lld ms, "
                    "all %lld ms\n",
                    run, static_cast<long long>(first), kCount, static_cast<long long>(strip),
                    static_cast<long long>(waveform), static_cast<long long>(clock.elapsed()));
    }
    return 0;
}
