#pragma once

// What the player's benchmarks share: their clip, made once by ffmpeg into the build tree, and
// running the event loop until something happens.

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace lento::bench {

// A `width` x `height` 30 fps H.264 clip of `seconds` with sound (a keyframe a second, as phones
// and cameras write them), named `name` in the build tree's bench folder; made on first use.
inline std::string playerClip(const char* name, int width, int height, int seconds) {
    const QString dir = QStringLiteral(LENTO_BINARY_DIR "/bench");
    const QString path = dir + QLatin1Char('/') + QString::fromUtf8(name);
    if (QFile::exists(path)) {
        return path.toStdString();
    }
    QDir().mkpath(dir);
    const QString partial = path + QStringLiteral(".part.mp4");
    const QString command =
        QStringLiteral("ffmpeg -y -nostdin -loglevel error"
                       " -f lavfi -i testsrc2=s=%1x%2:r=30:d=%3"
                       " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=%3"
                       " -c:v libx264 -preset veryfast -crf 20 -g 30 -pix_fmt yuv420p"
                       " -c:a aac -b:a 128k -ac 2 -shortest '%4'")
            .arg(width)
            .arg(height)
            .arg(seconds)
            .arg(partial);
    std::printf("making %s ...\n", qPrintable(path));
    if (std::system(command.toLocal8Bit().constData()) != 0 || !QFile::rename(partial, path)) {
        std::fprintf(stderr, "ffmpeg could not make the clip\n");
        std::exit(1);
    }
    return path.toStdString();
}

// Runs the event loop until `done` holds or `timeout` passes, napping `nap` between looks;
// true when it held.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                      std::chrono::microseconds nap = std::chrono::microseconds(200)) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start > timeout) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(static_cast<unsigned long>(nap.count()));
    }
    return true;
}

inline void spinEvents(std::chrono::milliseconds duration,
                       std::chrono::microseconds nap = std::chrono::microseconds(200)) {
    waitUntil([] { return false; }, duration, nap);
}

} // namespace lento::bench
