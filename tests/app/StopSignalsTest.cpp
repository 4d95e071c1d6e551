#include "app/StopSignals.h"
#include "edit/EditFile.h"
#include "media/Asset.h"
#include "media/FileLock.h"
#include "support/ExportTesting.h"
#include "support/MediaProbe.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <cstring>

namespace lento {
namespace {

// Each stop signal, raised while the event loop runs, ends the loop the way closing the window
// does (exec returns 0) instead of killing the program.
TEST(StopSignalsTest, EachStopSignalEndsTheEventLoop) {
    QApplication& application = test::ensureQtApp();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::string error;
        ASSERT_TRUE(quitOnStopSignals(application, error)) << error;
        QTimer::singleShot(0, [signal] { std::raise(signal); });
        QTimer giveUp;
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        giveUp.start(10000);
        EXPECT_EQ(QCoreApplication::exec(), 0);
    }
}

// The whole program, started with an autosave to offer, asks about it first (and holds the
// autosave's lock while it asks). One SIGTERM while the question is up ends it, leaving the
// autosave for the next start, and prints nothing.
TEST(StopSignalsTest, OneStopWhileAQuestionIsUpEndsTheProgram) {
    test::ensureQtApp();
    test::TestFolder folder;
    const QString autosaves = QString::fromStdString(folder / "state/lento");
    ASSERT_TRUE(QDir().mkpath(autosaves));
    EditState edit;
    edit.source = {QString::fromStdString(test::fixture("clip.mp4")), 1,
                   Asset::assetWithPath(test::fixture("clip.mp4"))->duration()};
    EditFileProblem problem;
    const QString orphan = autosaves + "/autosave-1.lento";
    ASSERT_TRUE(writeEditFile(edit, orphan, problem)) << problem.message.toStdString();

    QProcess lento;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", QString::fromStdString(folder / "state"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.remove("LENTO_LOG");
    // Leaks are the sanitizer tests' business, not this one's.
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    lento.setProcessEnvironment(environment);
    lento.start(LENTO_BINARY_DIR "/lento", {});
    ASSERT_TRUE(lento.waitForStarted());
    const std::string lock = QFile::encodeName(autosaves + "/autosave-1.lock").toStdString();
    for (int tries = 0; !FileLock::isHeld(lock); ++tries) {
        ASSERT_FALSE(lento.waitForFinished(20)) << "ended before it asked";
        ASSERT_LT(tries, 3000) << "never asked";
    }
    ASSERT_EQ(::kill(static_cast<pid_t>(lento.processId()), SIGTERM), 0);
    EXPECT_TRUE(lento.waitForFinished(60000)) << "still running after the first SIGTERM";
    lento.kill();
    lento.waitForFinished();
    EXPECT_EQ(lento.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(lento.exitCode(), 0);
    EXPECT_TRUE(QFile::exists(orphan));
    EXPECT_EQ(lento.readAllStandardError().toStdString(), "");
}

} // namespace
} // namespace lento
