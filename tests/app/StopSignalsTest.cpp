#include "app/StopSignals.h"
#include "support/QtApp.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace lento
