#pragma once

#include <functional>
#include <string>

namespace lento {

// Writes one diagnostic line, printf-style, to standard error (or to the sink tests install).
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Routes diagnostic lines to `sink` instead of standard error; an empty sink restores it.
void setLogSink(std::function<void(const std::string&)> sink);

} // namespace lento
