#include "base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace lento {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& currentSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

std::atomic<bool> g_enabled = false;
std::atomic<bool> g_hasSink = false;

} // namespace

void logLine(const char* format, ...) {
    // The monitor timer logs ten times a second: nothing is formatted for nobody.
    if (!g_enabled && !g_hasSink) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(line.data(), line.size() + 1, format, arguments);
    }
    va_end(arguments);

    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    if (!g_enabled) {
        return;
    }
    if (line.empty() || line.back() != '\n') {
        line += '\n';
    }
    std::fputs(line.c_str(), stderr);
}

void setLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
    g_hasSink = static_cast<bool>(currentSink());
}

void setLogEnabled(bool enabled) {
    g_enabled = enabled;
}

bool logEnabled() {
    return g_enabled;
}

bool logRequestedByEnvironment() {
    const char* value = std::getenv("LENTO_LOG");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

} // namespace lento
