#include "app/AppDelegate.h"
#include "app/EditFileController.h"
#include "app/MainWindow.h"
#include "app/StopSignals.h"
#include "base/FileNames.h"
#include "base/Log.h"
#include "media/EncoderMemory.h"

#include <QApplication>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// Qt's own warnings are diagnostics like the log's: shown only when the log is asked for, or
// when a fatal message follows them, as their reason ("no Qt platform plugin could be
// initialized" says why only in the warning before it: the display that could not be reached).
void quietQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    static std::mutex mutex;
    static std::deque<QString> heldWarnings;
    constexpr size_t kMostHeld = 8;
    const QString line = qFormatLogMessage(type, context, message);
    const std::lock_guard lock(mutex);
    if (type == QtWarningMsg) {
        heldWarnings.push_back(line);
        if (heldWarnings.size() > kMostHeld) {
            heldWarnings.pop_front();
        }
    } else if (type == QtCriticalMsg || type == QtFatalMsg) {
        if (type == QtFatalMsg) {
            for (const QString& warning : heldWarnings) {
                std::fprintf(stderr, "%s\n", qPrintable(warning));
            }
        }
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
}

// The file named on the command line, as the system gives its name (bytes, which need not be
// UTF-8), made absolute against the folder Lento was started in; a file URL is taken too.
QString absolutePathOfArgument(const char* argument) {
    if (std::strncmp(argument, "file://", 7) == 0) {
        return lento::pathOfUrl(QUrl::fromEncoded(argument));
    }
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(argument, error);
    return lento::pathFromBytes(QByteArray::fromStdString(error ? argument : path.native()));
}

} // namespace

int main(int argc, char* argv[]) {
    // --verbose turns the diagnostic log on, as LENTO_LOG=1 does; Qt's own messages follow it
    // from the start, before the application prints any.
    bool verbose = lento::logRequestedByEnvironment();
    for (int i = 1; i < argc; ++i) {
        verbose = verbose || std::strcmp(argv[i], "--verbose") == 0;
    }
    lento::setLogEnabled(verbose);
    // For the exports run in this process; without it they are only slower.
    lento::keepEncoderMemoryInSmallPages();
    av_log_set_level(verbose ? AV_LOG_ERROR : AV_LOG_QUIET);
    if (!verbose) {
        qInstallMessageHandler(quietQtMessages);
    }

    // Takes Qt's own options out of argv.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lento"));
    QApplication::setDesktopFileName(QStringLiteral("lento"));
    QApplication::setQuitOnLastWindowClosed(
        lento::AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    // A file manager opening a video or an edit with Lento names it as the only other argument.
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") != 0) {
            files.push_back(argv[i]);
        }
    }

    // Stopped from a terminal or by the session, the window below is destroyed as on closing,
    // which cancels running exports and waits for them.
    std::string error;
    if (!lento::quitOnStopSignals(application, error)) {
        std::fprintf(stderr, "lento: %s\n", error.c_str());
    }

    lento::MainWindow window;
    window.appDelegate()->applicationDidFinishLaunching();
    window.show();
    // Inside the event loop: a stop signal that comes while a question of these is up ends the
    // program as it does at any other time.
    const QString file = files.size() == 1 ? absolutePathOfArgument(files.front()) : QString();
    QTimer::singleShot(0, &window, [&window, file] {
        window.editFileController()->offerRecovery();
        if (!file.isEmpty()) {
            window.openFileNamed(file);
        }
    });
    return QApplication::exec();
}
