#include "media/MapStretcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace lento {
namespace {

constexpr int kRate = 48000;
using Planes = std::vector<std::vector<float>>;

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

SpeedFactor factor(const char* text) {
    return *SpeedFactor::fromText(text);
}

// Two channels of quiet hum with a 10 ms burst at each of `clicks` (seconds).
Planes clicksAt(const std::vector<double>& clicks, double seconds) {
    Planes planes(2, std::vector<float>(size_t(seconds * kRate)));
    for (size_t i = 0; i < planes[0].size(); ++i) {
        planes[0][i] = planes[1][i] = 0.01f * float(std::sin(2 * M_PI * 220 * double(i) / kRate));
    }
    for (double click : clicks) {
        for (int i = 0; i < kRate / 100; ++i) {
            const auto s = size_t(click * kRate) + size_t(i);
            planes[0][s] = planes[1][s] = 0.8f * float(std::sin(2 * M_PI * 1000 * i / kRate));
        }
    }
    return planes;
}

// Where the sound first rises above 0.1 after at least 100 ms below it, in seconds.
std::vector<double> onsets(const std::vector<float>& samples) {
    std::vector<double> found;
    int64_t quiet = kRate / 10;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > 0.1f) {
            if (quiet >= kRate / 10) {
                found.push_back(double(i) / kRate);
            }
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return found;
}

// The sound of an edit with ramps in and out of slow motion to the slowest factor, two touching
// sections joined by one ramp (the second muted), handed over at once, in blocks of any size and
// from a later start: exactly the map's length, never ahead of it, every burst within 40 ms of
// where the map puts it, silence where the sound is off.
TEST(MapStretcher, PutsEverySampleWhereTheMapDoes) {
    std::string error;
    const auto map = TimeMap::make({{at(1), at(2.5), factor("10"), at(0.5), at(0.25)},
                                    {at(2.5), at(3.5), factor("2"), at(0.25)},
                                    {at(4.5), at(5.5), factor("1.5"), at(0.4), at(0.4)}},
                                   at(6), error);
    ASSERT_TRUE(map) << error;
    const MediaTimeRange muted = MediaTimeRange::fromTimeToTime(at(2.5), at(3.5));
    MapStretcher stretcher(*map, kRate, 2, {muted});

    std::vector<double> clicks;
    for (double t = 0.15; t < 5.9; t += 0.25) {
        if (!(t > 2.45 && t < 3.55)) {
            clicks.push_back(t);
        }
    }
    const Planes source = clicksAt(clicks, 6);
    const int64_t length = map->outputDuration().convertScale(kRate).value;
    ASSERT_EQ(stretcher.outputSample(int64_t(source[0].size())), length);

    const struct {
        const char* name;
        int64_t first;              // the source sample to start from
        std::vector<int64_t> sizes; // of the blocks handed over, in turn
    } ways[] = {
        {"at once", 0, {int64_t(source[0].size())}},
        {"in blocks of uneven sizes", 0, {1, 333, 4096, 47999, 1024}},
        {"from half a second on", kRate / 2, {5000}},
    };
    const std::atomic<bool> stop{false};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        Planes output(2);
        const MapStretcher::Sink sink = [&](const float* const* planes, int64_t count) {
            for (size_t c = 0; c < 2; ++c) {
                output[c].insert(output[c].end(), planes[c], planes[c] + count);
            }
            return StageOutcome::succeeded();
        };
        ASSERT_TRUE(stretcher.start(way.first).ok());
        for (int64_t at = way.first, i = 0; at < int64_t(source[0].size()); ++i) {
            const int64_t n =
                std::min(way.sizes[size_t(i) % way.sizes.size()], int64_t(source[0].size()) - at);
            const float* planes[] = {source[0].data() + at, source[1].data() + at};
            ASSERT_TRUE(stretcher.push(planes, n, sink, stop).ok());
            at += n;
            // Never ahead of the map.
            ASSERT_LE(int64_t(output[0].size()),
                      stretcher.outputSample(at) - stretcher.outputSample(way.first));
        }
        ASSERT_TRUE(stretcher.finish(sink, stop).ok());
        const int64_t first = stretcher.outputSample(way.first);
        ASSERT_EQ(int64_t(output[0].size()), length - first);
        ASSERT_EQ(output[1].size(), output[0].size());

        const std::vector<double> found = onsets(output[0]);
        const auto played = std::find_if(clicks.begin(), clicks.end(),
                                         [&](double t) { return t * kRate >= way.first; });
        ASSERT_EQ(found.size(), size_t(clicks.end() - played));
        for (size_t i = 0; i < found.size(); ++i) {
            const double expected =
                map->outputTime(at(played[i]), kRate).seconds() - double(first) / kRate;
            EXPECT_NEAR(found[i], expected, 0.040) << "the burst at " << played[i] << " s";
        }
        const int64_t quietFrom = map->outputTime(muted.start, kRate).value - first;
        const int64_t quietTo = map->outputTime(muted.end(), kRate).value - first;
        for (int64_t s = quietFrom; s < quietTo; ++s) {
            ASSERT_EQ(output[0][size_t(s)], 0.0f) << double(s) / kRate;
        }
    }

    // More than the stretcher is trusted with fails, saying so.
    const auto far = TimeMap::make({{at(1), at(2), factor("20"), at(0.5)}}, at(6), error);
    ASSERT_TRUE(far) << error;
    const StageOutcome refused = MapStretcher(*far, kRate, 2).start(0);
    EXPECT_TRUE(refused.isFailure());
    EXPECT_NE(refused.message.find("at most 10 times"), std::string::npos) << refused.message;
}

} // namespace
} // namespace lento
