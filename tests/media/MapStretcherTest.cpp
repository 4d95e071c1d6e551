#include "media/MapStretcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace lento {
namespace {

using Planes = std::vector<std::vector<float>>;

MediaTime at(double seconds) {
    return MediaTime::makeWithSeconds(seconds, 600);
}

SpeedFactor factor(const char* text) {
    return *SpeedFactor::fromText(text);
}

// Two channels of quiet hum at `rate` with a 10 ms burst at each of `clicks` (seconds).
Planes clicksAt(const std::vector<double>& clicks, double seconds, int rate) {
    Planes planes(2, std::vector<float>(size_t(seconds * rate)));
    for (size_t i = 0; i < planes[0].size(); ++i) {
        planes[0][i] = planes[1][i] = 0.01f * float(std::sin(2 * M_PI * 220 * double(i) / rate));
    }
    for (double click : clicks) {
        for (int i = 0; i < rate / 100; ++i) {
            const auto s = size_t(click * rate) + size_t(i);
            planes[0][s] = planes[1][s] = 0.8f * float(std::sin(2 * M_PI * 1000 * i / rate));
        }
    }
    return planes;
}

// Where the sound first rises above 0.1 after at least 100 ms below it, in seconds.
std::vector<double> onsets(const std::vector<float>& samples, int rate) {
    std::vector<double> found;
    int64_t quiet = rate / 10;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > 0.1f) {
            if (quiet >= rate / 10) {
                found.push_back(double(i) / rate);
            }
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return found;
}

// Sections of `length` seconds at `slow` from `from` to `to`, each followed by as long at the
// speed of 1.
std::vector<TimeMap::Section> inTurn(double from, double to, double length, const char* slow) {
    std::vector<TimeMap::Section> sections;
    for (double t = from; t + length <= to; t += 2 * length) {
        sections.push_back({at(t), at(t + length), factor(slow)});
    }
    return sections;
}

// The sound of an edit stretched along its map at 48 and 44.1 kHz: exactly the map's length,
// never ahead of it, every burst within 40 ms of where the map puts it, silence where the sound
// is off. The edits: ramps in and out of slow motion to the slowest factor, two touching
// sections joined by one ramp (the second muted); and short sections at x3, x10 and x1 in turn,
// where the speed jumps a hundred times. The sound is handed over at once, and for one of them
// in blocks of any size and from a later start.
TEST(MapStretcher, PutsEverySampleWhereTheMapDoes) {
    const MediaTimeRange muted = MediaTimeRange::fromTimeToTime(at(2.5), at(3.5));
    std::vector<TimeMap::Section> jumps = inTurn(0.5, 2.5, 0.025, "3");
    for (const auto& section : inTurn(3, 5.5, 0.1, "10")) {
        jumps.push_back(section);
    }
    const struct {
        const char* name;
        std::vector<TimeMap::Section> sections;
        std::vector<MediaTimeRange> muted;
    } edits[] = {
        {"ramps",
         {{at(1), at(2.5), factor("10"), at(0.5), at(0.25)},
          {at(2.5), at(3.5), factor("2"), at(0.25)},
          {at(4.5), at(5.5), factor("1.5"), at(0.4), at(0.4)}},
         {muted}},
        {"jumps", jumps, {}},
    };
    const struct {
        const char* name;
        int64_t first;              // the source sample to start from, at 48 kHz
        std::vector<int64_t> sizes; // of the blocks handed over, in turn
    } ways[] = {
        {"at once", 0, {6 * 48000}},
        {"in blocks of uneven sizes", 0, {1, 333, 4096, 47999, 1024}},
        {"from half a second on", 24000, {5000}},
    };
    const std::atomic<bool> stop{false};
    for (const auto& edit : edits) {
        std::string error;
        const auto map = TimeMap::make(edit.sections, at(6), error);
        ASSERT_TRUE(map) << error;
        std::vector<double> clicks;
        for (double t = 0.15; t < 5.9; t += 0.25) {
            const bool quiet = std::any_of(edit.muted.begin(), edit.muted.end(), [&](auto& r) {
                return t > r.start.seconds() - 0.05 && t < r.end().seconds() + 0.05;
            });
            if (!quiet) {
                clicks.push_back(t);
            }
        }
        for (const int rate : {48000, 44100}) {
            MapStretcher stretcher(*map, rate, 2, edit.muted);
            const Planes source = clicksAt(clicks, 6, rate);
            const int64_t length = map->outputDuration().convertScale(rate).value;
            ASSERT_EQ(stretcher.outputSample(int64_t(source[0].size())), length);
            for (const auto& way : ways) {
                if (&way != ways && (&edit != edits || rate != 48000)) {
                    continue; // how the sound is handed over is the same whatever the map
                }
                SCOPED_TRACE(::testing::Message()
                             << edit.name << " at " << rate << " Hz, " << way.name);
                Planes output(2);
                const MapStretcher::Sink sink = [&](const float* const* planes, int64_t count) {
                    for (size_t c = 0; c < 2; ++c) {
                        output[c].insert(output[c].end(), planes[c], planes[c] + count);
                    }
                    return StageOutcome::succeeded();
                };
                const int64_t start = way.first * rate / 48000;
                ASSERT_TRUE(stretcher.start(start).ok());
                for (int64_t at = start, i = 0; at < int64_t(source[0].size()); ++i) {
                    const int64_t n = std::min(way.sizes[size_t(i) % way.sizes.size()],
                                               int64_t(source[0].size()) - at);
                    const float* planes[] = {source[0].data() + at, source[1].data() + at};
                    ASSERT_TRUE(stretcher.push(planes, n, sink, stop).ok());
                    at += n;
                    // Never ahead of the map.
                    ASSERT_LE(int64_t(output[0].size()),
                              stretcher.outputSample(at) - stretcher.outputSample(start));
                }
                ASSERT_TRUE(stretcher.finish(sink, stop).ok());
                const int64_t first = stretcher.outputSample(start);
                ASSERT_EQ(int64_t(output[0].size()), length - first);
                ASSERT_EQ(output[1].size(), output[0].size());

                const std::vector<double> found = onsets(output[0], rate);
                const auto played = std::find_if(clicks.begin(), clicks.end(),
                                                 [&](double t) { return t * rate >= start; });
                ASSERT_EQ(found.size(), size_t(clicks.end() - played));
                for (size_t i = 0; i < found.size(); ++i) {
                    const double expected =
                        map->outputTime(at(played[i]), rate).seconds() - double(first) / rate;
                    EXPECT_NEAR(found[i], expected, 0.040) << "the burst at " << played[i] << " s";
                }
                for (const MediaTimeRange& range : edit.muted) {
                    const int64_t quietFrom = map->outputTime(range.start, rate).value - first;
                    const int64_t quietTo = map->outputTime(range.end(), rate).value - first;
                    for (int64_t s = quietFrom; s < quietTo; ++s) {
                        ASSERT_EQ(output[0][size_t(s)], 0.0f) << double(s) / rate;
                    }
                }
            }
        }
    }

    std::string error;
    // More than the stretcher is trusted with fails, saying so.
    const auto far = TimeMap::make({{at(1), at(2), factor("20"), at(0.5)}}, at(6), error);
    ASSERT_TRUE(far) << error;
    const StageOutcome refused = MapStretcher(*far, 48000, 2).start(0);
    EXPECT_TRUE(refused.isFailure());
    EXPECT_NE(refused.message.find("at most 10 times"), std::string::npos) << refused.message;
}

} // namespace
} // namespace lento
