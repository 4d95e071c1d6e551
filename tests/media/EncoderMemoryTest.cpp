#include "media/EncoderMemory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/prctl.h>

namespace {

// The kernel's own account of the process, as /proc shows it, not only prctl's answer.
TEST(EncoderMemory, KeepsTheProcessOutOfHugePages) {
    ASSERT_TRUE(lento::keepEncoderMemoryInSmallPages());
    EXPECT_EQ(prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0), 1);
    std::ifstream status("/proc/self/status");
    std::string line;
    bool listed = false;
    while (std::getline(status, line)) {
        if (line.rfind("THP_enabled:", 0) == 0) {
            listed = true;
            EXPECT_EQ(line.back(), '0') << line;
        }
    }
    if (!listed) {
        GTEST_SKIP() << "this kernel does not list THP_enabled";
    }
}

} // namespace
