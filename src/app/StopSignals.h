#pragma once

#include <string>

class QCoreApplication;

namespace lento {

// Makes SIGINT, SIGTERM and SIGHUP end the application's event loop on the main thread, so that
// the program stops the way it does when its window closes: windows are destroyed in order and
// running exports are cancelled and waited for. A second signal of a kind, while stopping, kills
// the program outright. False, with `error` set, when the signals cannot be taken over.
bool quitOnStopSignals(QCoreApplication& application, std::string& error);

} // namespace lento
