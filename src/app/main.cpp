#include "app/AppDelegate.h"
#include "app/EditFileController.h"
#include "app/MainWindow.h"
#include "app/StopSignals.h"
#include "edit/EditFile.h"
#include "full/FullVideoEditController.h"

#include <QApplication>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lento"));
    QApplication::setDesktopFileName(QStringLiteral("lento"));
    QApplication::setQuitOnLastWindowClosed(
        lento::AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    av_log_set_level(AV_LOG_ERROR);
    // Stopped from a terminal or by the session, the window below is destroyed as on closing,
    // which cancels running exports and waits for them.
    std::string error;
    if (!lento::quitOnStopSignals(application, error)) {
        std::fprintf(stderr, "lento: %s\n", error.c_str());
    }

    lento::MainWindow window;
    window.appDelegate()->applicationDidFinishLaunching();
    window.show();
    window.editFileController()->offerRecovery();

    // A file manager opening a video or an edit with Lento names it as the only argument: an
    // edit opens, a video goes to the "Full Video" tab as if it had been dropped there.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() == 2) {
        const QUrl url = QUrl::fromUserInput(arguments.at(1), QFileInfo(".").absoluteFilePath(),
                                             QUrl::AssumeLocalFile);
        if (url.isLocalFile() &&
            QFileInfo(url.toLocalFile())
                    .suffix()
                    .compare(QLatin1String(lento::kEditFileExtension), Qt::CaseInsensitive) == 0) {
            window.editFileController()->openEdit(url.toLocalFile());
        } else {
            window.fullVideoEditController()->fileDropped(url);
        }
    }
    return QApplication::exec();
}
