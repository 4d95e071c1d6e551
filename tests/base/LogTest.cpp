#include "base/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace lento {
namespace {

// What reaches standard error while `write` runs.
std::string standardErrorOf(void (*write)()) {
    std::fflush(stderr);
    std::FILE* file = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    write();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text(4096, '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

// Off, the log prints nothing; on, each line to standard error. A sink hears every line either
// way, and nothing reaches standard error meanwhile.
TEST(Log, PrintsOnlyWhenAskedAndItsSinkHearsEverything) {
    const bool before = logEnabled();
    std::vector<std::string> heard;
    for (const bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "on" : "off");
        setLogEnabled(enabled);
        EXPECT_EQ(standardErrorOf([] { logLine("play button : %lu", 1ul); }),
                  enabled ? "play button : 1\n" : "");
        setLogSink([&](const std::string& line) { heard.push_back(line); });
        EXPECT_EQ(standardErrorOf([] { logLine("%fl", 20.0); }), "");
        setLogSink({});
    }
    EXPECT_EQ(heard, std::vector<std::string>(2, "20.000000l"));
    setLogEnabled(before);
}

} // namespace
} // namespace lento
