#include "app/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace lento {

namespace {

// A handler may do almost nothing: it writes a byte into this pipe, and the event loop, which
// watches the other end, does the rest. Made once, kept for the life of the process.
int g_signalPipe[2] = {-1, -1};

extern "C" void writeStopByte(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a stop request: losing this byte loses nothing.
    (void)!write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool quitOnStopSignals(QCoreApplication& application, std::string& error) {
    if (g_signalPipe[0] < 0) {
        if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            error = std::string("cannot make the stop signal pipe: ") + std::strerror(errno);
            return false;
        }
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &application);
        QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
            char bytes[16];
            while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            // Exit, not quit: quit asks the windows, and a window may refuse to close.
            QCoreApplication::exit(0);
        });
    }
    struct sigaction action = {};
    action.sa_handler = writeStopByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signal, &action, nullptr) != 0) {
            error = std::string("cannot handle stop signals: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace lento
