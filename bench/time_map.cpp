// The time map of an edit of 10,000 sections with ramps: how long it takes to build (the target
// is 50 ms), and how long one lookup takes each way and for the factor, inside and outside ramps.
//
//   bench_time_map
//
// The edit covers a 3-hour source of 30000/1001 fps: sections of 0.6 s every 1.0 s, whole frames,
// every other one touching the next (so their ramps join), factors from 1.25 to 9.99, ramps of
// 0.1 to 0.2 s typed to the millisecond. A second edit puts the same times on a timescale near
// 10^9, where the ramps' terms no longer fit in 128 bits and are computed in long double.

#include "Timing.h"
#include "media/TimeMap.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace lento;
constexpr int kSections = 10000;
constexpr int kLookups = 100000;

std::vector<TimeMap::Section> editOf(int32_t timescale, int64_t frame) {
    const SpeedFactor factors[] = {*SpeedFactor::fromText("1.25"), *SpeedFactor::fromText("2"),
                                   *SpeedFactor::fromText("4.5"), *SpeedFactor::fromText("9.99")};
    std::vector<TimeMap::Section> sections;
    int64_t start = 0;
    for (int i = 0; i < kSections; ++i) {
        // 18 frames long; one frame apart every other time, else touching the next.
        const int64_t end = start + 18 * frame;
        sections.push_back({MediaTime::make(start, timescale), MediaTime::make(end, timescale),
                            factors[i % 4], MediaTime::make(100 + i % 101, 1000),
                            MediaTime::make(200 - i % 97, 1000)});
        start = i % 2 == 0 ? end : end + 12 * frame;
    }
    return sections;
}

void run(const char* name, int32_t timescale, int64_t frame) {
    const std::vector<TimeMap::Section> sections = editOf(timescale, frame);
    const MediaTime duration = MediaTime::make(int64_t(3 * 3600) * timescale, timescale);
    std::string error;
    std::optional<TimeMap> map;
    const bench::Times build =
        bench::timesMs(15, [&] { map = TimeMap::make(sections, duration, error); });
    if (!map) {
        std::fprintf(stderr, "bench_time_map: %s\n", error.c_str());
        return;
    }
    int ramps = 0;
    for (const TimeMap::Piece& piece : map->pieces()) {
        ramps += piece.isRamp();
    }
    std::mt19937_64 random(7);
    std::vector<MediaTime> sourceTimes, outputTimes;
    const MediaTime end = sections.back().end;
    const MediaTime outputEnd = map->outputTime(end, 90000);
    for (int i = 0; i < kLookups; ++i) {
        sourceTimes.push_back(MediaTime::make(int64_t(random() % uint64_t(end.value)), timescale));
        outputTimes.push_back(
            MediaTime::make(int64_t(random() % uint64_t(outputEnd.value)), 90000));
    }
    int64_t sink = 0;
    const auto perLookupUs = [&](const std::function<void()>& work) {
        return bench::timesMs(5, work).median * 1000 / kLookups;
    };
    const double forward = perLookupUs([&] {
        for (const MediaTime& t : sourceTimes) {
            sink += map->outputTime(t, 90000).value;
        }
    });
    const double inverse = perLookupUs([&] {
        for (const MediaTime& t : outputTimes) {
            sink += map->sourceTime(t, timescale).value;
        }
    });
    const double factor = perLookupUs([&] {
        for (const MediaTime& t : sourceTimes) {
            sink += int64_t(map->factorAt(t) * 100);
        }
    });
    std::printf("%s: %d sections, %zu pieces (%d ramps)\n", name, kSections, map->pieces().size(),
                ramps);
    std::printf("  build: median %.1f ms, slowest %.1f ms (target 50 ms)\n", build.median,
                build.slowest);
    std::printf("  per lookup over %d random times: output time %.2f us, source time %.2f us, "
                "factor %.2f us%s\n",
                kLookups, forward, inverse, factor, sink == 42 ? " " : "");
}

} // namespace

int main() {
    run("frames of 30000/1001 fps", 30000, 1001);
    run("the same at timescale 999999937", 999'999'937, 33'366'664);
    return 0;
}
