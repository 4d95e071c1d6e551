#pragma once

#include <QApplication>

#include <chrono>
#include <functional>

namespace lento::test {

// The one QApplication of a test program, made on first use (tests run on the offscreen
// platform unless QT_QPA_PLATFORM says otherwise).
QApplication& ensureQtApp();

// Runs the event loop until `done` holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs the event loop for `duration` (nothing for 0).
void spinEvents(std::chrono::milliseconds duration);

} // namespace lento::test
