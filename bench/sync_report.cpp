// Prints how far apart the flashes and beeps of a sync clip are, after an export has retimed it.
//
//   bench_sync_report FILE

#include "support/MediaProbe.h"

#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_sync_report FILE\n");
        return 2;
    }
    const lento::test::SyncReport report = lento::test::measureSync(argv[1]);
    if (report.pairs == 0) {
        std::printf("worst flash/beep distance: no flash with a beep within 500 ms\n");
        return 1;
    }
    if (std::isinf(report.worstSeconds)) {
        std::printf("worst flash/beep distance: some flash has no beep within 500 ms "
                    "(%d pairs found)\n",
                    report.pairs);
        return 1;
    }
    std::printf("worst flash/beep distance: %.1f ms over %d pairs\n", report.worstSeconds * 1000.0,
                report.pairs);
    return 0;
}
