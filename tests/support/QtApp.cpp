#include "support/QtApp.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace lento::test {

namespace {

// Owns the application and ends it when the test program's tests are done: at exit, after
// Qt's own globals are gone, ending it would crash.
class QtAppEnvironment : public ::testing::Environment {
public:
    QApplication& application() {
        if (!m_application) {
            if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
            }
            // Autosaves of the edits tests make stay out of the user's state folder.
            m_state = QDir::tempPath() + QStringLiteral("/lento-tests-state-%1").arg(getpid());
            setenv("XDG_STATE_HOME", qPrintable(m_state), 1);
            m_application = std::make_unique<QApplication>(m_argc, m_argv);
        }
        return *m_application;
    }
    void TearDown() override {
        m_application.reset();
        if (!m_state.isEmpty()) {
            QDir(m_state).removeRecursively();
        }
    }

private:
    int m_argc = 1;
    char m_name[12] = "lento-tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_application;
    QString m_state;
};

} // namespace

QApplication& ensureQtApp() {
    // GoogleTest owns the environment and tears it down after the last test.
    static QtAppEnvironment* environment =
        static_cast<QtAppEnvironment*>(::testing::AddGlobalTestEnvironment(new QtAppEnvironment()));
    return environment->application();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    ensureQtApp();
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void spinEvents(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

} // namespace lento::test
