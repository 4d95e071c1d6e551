#pragma once

#include <functional>
#include <string>

namespace lento {

// Writes one diagnostic line, printf-style, to the sink tests install; without one, to standard
// error while the log is on, and nowhere while it is off (the default).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Routes diagnostic lines to `sink` instead of standard error, whether the log is on or off; an
// empty sink restores standard error.
void setLogSink(std::function<void(const std::string&)> sink);

// Turns the log on or off.
void setLogEnabled(bool enabled);
bool logEnabled();
// Whether the environment asks for the log: LENTO_LOG set to anything but "" or "0".
bool logRequestedByEnvironment();

} // namespace lento
